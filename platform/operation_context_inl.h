// Template part of operation_context.h; include that header instead.
#ifndef VANTREL_PLATFORM_OPERATION_CONTEXT_INL_H_
#define VANTREL_PLATFORM_OPERATION_CONTEXT_INL_H_

#include <optional>
#include <string>
#include <utility>

#include "platform/identity.h"

namespace vantrel::platform {
namespace operation_context_internal {

// The account to impersonate while serving operation name, or nothing to
// run as the thread is. Throws InvalidOperationException for an undeclared
// operation and for Required impersonation without a caller account.
std::optional<std::string> AccountToImpersonate(std::span<const OperationDeclaration> declarations,
                                                std::string_view name);

}  // namespace operation_context_internal

template <typename Body>
auto ServeOperation(std::span<const OperationDeclaration> declarations, std::string_view name,
                    Body&& body) -> decltype(body()) {
  std::optional<ImpersonationScope> impersonation;
  if (auto account = operation_context_internal::AccountToImpersonate(declarations, name)) {
    impersonation.emplace(std::move(*account));
  }
  return std::forward<Body>(body)();
}

}  // namespace vantrel::platform

#endif  // VANTREL_PLATFORM_OPERATION_CONTEXT_INL_H_
