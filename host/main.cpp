// vntaccessd: the access service host (see host/host_app.h).
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/host_app.h"

namespace {

// The host's malloc policy. A request's history page or answer (0.7 to a
// few MB) is freed when the request ends; with glibc's defaults the free top
// of the heap then goes back to the kernel, and the next request pays its
// page faults again, which was half the host's CPU on a history read.
// Blocks under kMmapThreshold now come from the heap, and up to
// kTrimThreshold of free memory stays with each malloc arena for the next
// request (docs/HTTP.md, Limits). An operator's own GLIBC_TUNABLES malloc
// settings win.
constexpr int kMmapThreshold = 4 << 20;
constexpr int kTrimThreshold = 16 << 20;

void KeepFreedMemoryForTheNextRequest() {
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  if (tunables != nullptr && std::strstr(tunables, "glibc.malloc.") != nullptr) return;
  mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
  mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
}

}  // namespace

int main(int argc, char** argv) {
  KeepFreedMemoryForTheNextRequest();
  std::vector<std::string> args(argv + 1, argv + argc);
  return vantrel::host::RunHost(args);
}
