// FUZZ_CHECK: a property a fuzz target asserts. A broken one prints what
// and where, then aborts, which libFuzzer reports as a crash with the input
// saved.
#ifndef VANTREL_FUZZ_FUZZ_CHECK_H_
#define VANTREL_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, what)                                                                  \
  do {                                                                                               \
    if (!(condition)) {                                                                              \
      std::fprintf(stderr, "%s:%d: property broken: %s (%s)\n", __FILE__, __LINE__, #condition, what); \
      std::abort();                                                                                  \
    }                                                                                                \
  } while (false)

#endif  // VANTREL_FUZZ_FUZZ_CHECK_H_
