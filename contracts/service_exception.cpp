#include "contracts/service_exception.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <string_view>
#include <typeinfo>

namespace vantrel::contracts {
namespace {

// The class name without namespaces: "vantrel::platform::ApplicationException"
// gives "ApplicationException". Only qualifiers outside template arguments
// count, so "ns::Box<other::Item>" gives "Box<other::Item>".
std::string_view WithoutNamespaces(std::string_view name) {
  int depth = 0;
  size_t start = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '<') ++depth;
    if (name[i] == '>') --depth;
    if (depth == 0 && name[i] == ':' && i + 1 < name.size() && name[i + 1] == ':') {
      start = i + 2;
      ++i;
    }
  }
  return name.substr(start);
}

// The dynamic class name of error, demangled where the runtime can.
std::string ClassName(const std::exception& error) {
  const char* mangled = typeid(error).name();
  int status = 0;
  const std::unique_ptr<char, decltype(&std::free)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
  return std::string(WithoutNamespaces(status == 0 && demangled ? demangled.get() : mangled));
}

}  // namespace

ServiceException::ServiceException(const std::exception& error) {
  // An error that carries a detail already keeps it, so that the detail
  // names the first error however often it is wrapped.
  if (const auto* carrier = dynamic_cast<const CarriesServiceException*>(&error)) {
    *this = carrier->Detail();
    return;
  }
  errorType_ = ClassName(error);
  message_ = error.what();
}

}  // namespace vantrel::contracts
