// The error kinds raised inside the library and its stand-ins. Exception is
// the general kind; the derived kinds name a particular failure. Each
// carries one message, returned by what(). Header-only so that every
// target, the contracts included, can raise them.
#ifndef VANTREL_PLATFORM_EXCEPTIONS_H_
#define VANTREL_PLATFORM_EXCEPTIONS_H_

#include <stdexcept>
#include <string>

namespace vantrel::platform {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

#define VANTREL_DECLARE_EXCEPTION(Name, Base)                          \
  class Name : public Base {                                           \
   public:                                                             \
    explicit Name(const std::string& message) : Base(message) {}       \
  }

VANTREL_DECLARE_EXCEPTION(ApplicationException, Exception);
VANTREL_DECLARE_EXCEPTION(InvalidOperationException, Exception);
VANTREL_DECLARE_EXCEPTION(FormatException, Exception);
VANTREL_DECLARE_EXCEPTION(OverflowException, Exception);
VANTREL_DECLARE_EXCEPTION(InvalidCastException, Exception);
VANTREL_DECLARE_EXCEPTION(ArgumentException, Exception);
VANTREL_DECLARE_EXCEPTION(ArgumentOutOfRangeException, ArgumentException);
VANTREL_DECLARE_EXCEPTION(IOException, Exception);
VANTREL_DECLARE_EXCEPTION(KeyNotFoundException, Exception);

#undef VANTREL_DECLARE_EXCEPTION

}  // namespace vantrel::platform

#endif  // VANTREL_PLATFORM_EXCEPTIONS_H_
