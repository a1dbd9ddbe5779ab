#include "platform/operation_context.h"

#include <fmt/format.h>

#include "platform/exceptions.h"

namespace vantrel::platform {
namespace {

thread_local const OperationContext* t_current = nullptr;

// The caller's Windows account in the current context; an empty name counts
// as none, since no thread can run as it.
std::optional<std::string> CallerAccount() {
  const OperationContext* context = OperationContext::Current();
  if (context == nullptr || !context->SecurityContext) return std::nullopt;
  const auto& identity = context->SecurityContext->WindowsIdentity;
  if (!identity || identity->empty()) return std::nullopt;
  return identity;
}

}  // namespace

const OperationContext* OperationContext::Current() { return t_current; }

OperationContextScope::OperationContextScope(OperationContext context)
    : context_(std::move(context)), previous_(t_current) {
  t_current = &context_;
}

OperationContextScope::~OperationContextScope() { t_current = previous_; }

const OperationDeclaration* FindOperation(std::span<const OperationDeclaration> declarations,
                                          std::string_view name) {
  for (const OperationDeclaration& declaration : declarations) {
    if (declaration.Name == name) return &declaration;
  }
  return nullptr;
}

namespace operation_context_internal {

std::optional<std::string> AccountToImpersonate(std::span<const OperationDeclaration> declarations,
                                                std::string_view name) {
  const OperationDeclaration* declaration = FindOperation(declarations, name);
  if (declaration == nullptr) {
    throw InvalidOperationException(
        fmt::format("The operation {} is not declared by the service.", name));
  }
  switch (declaration->Impersonation) {
    case ImpersonationOption::NotAllowed:
      return std::nullopt;
    case ImpersonationOption::Allowed:
      return CallerAccount();
    case ImpersonationOption::Required:
      if (auto account = CallerAccount()) return account;
      throw InvalidOperationException(
          fmt::format("The caller's identity is required for operation {}.", name));
  }
  throw InvalidOperationException(
      fmt::format("The operation {} has an unknown impersonation option.", name));
}

}  // namespace operation_context_internal
}  // namespace vantrel::platform
