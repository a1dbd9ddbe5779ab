// OperationContext: what the host knows about the call the current thread
// is serving: an optional security context, which may name the caller's
// Windows account. Thread-local; a host sets it for one call with
// OperationContextScope. Service classes declare, per operation, whether the
// caller must be impersonated (OperationDeclaration); the host honours it
// with ServeOperation.
#ifndef VANTREL_PLATFORM_OPERATION_CONTEXT_H_
#define VANTREL_PLATFORM_OPERATION_CONTEXT_H_

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vantrel::platform {

struct ServiceSecurityContext {
  // The caller's Windows account ("DOMAIN\user"), when the caller has one.
  std::optional<std::string> WindowsIdentity;
};

struct OperationContext {
  std::optional<ServiceSecurityContext> SecurityContext;

  // The context of the call the current thread serves, or null.
  static const OperationContext* Current();
};

// Sets the current thread's OperationContext for one call; restores the
// previous one on exit.
class OperationContextScope {
 public:
  explicit OperationContextScope(OperationContext context);
  ~OperationContextScope();
  OperationContextScope(const OperationContextScope&) = delete;
  OperationContextScope& operator=(const OperationContextScope&) = delete;

 private:
  OperationContext context_;
  const OperationContext* previous_;
};

enum class ImpersonationOption { NotAllowed, Allowed, Required };

// How a service class declares one of its operations to the host.
struct OperationDeclaration {
  std::string_view Name;
  ImpersonationOption Impersonation;
};

// The declaration of operation name in declarations, or null.
const OperationDeclaration* FindOperation(std::span<const OperationDeclaration> declarations,
                                          std::string_view name);

// Host side: runs body for operation name of a service class with the
// impersonation that its declaration asks for: Required and Allowed run body
// as the caller's account (ImpersonationScope) when the current context names
// one; NotAllowed runs it as the thread is. Required impersonation with no
// caller account (no context, no security context, or no or an empty Windows
// identity) and an undeclared name throw InvalidOperationException before
// body runs.
template <typename Body>
auto ServeOperation(std::span<const OperationDeclaration> declarations, std::string_view name,
                    Body&& body) -> decltype(body());

}  // namespace vantrel::platform

#include "platform/operation_context_inl.h"

#endif  // VANTREL_PLATFORM_OPERATION_CONTEXT_H_
