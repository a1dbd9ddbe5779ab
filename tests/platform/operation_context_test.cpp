#include "platform/operation_context.h"

#include <array>
#include <string>

#include <gtest/gtest.h>

#include "platform/exceptions.h"
#include "platform/identity.h"

namespace vantrel::platform {
namespace {

constexpr std::array<OperationDeclaration, 3> kDeclarations = {{
    {"GetTagValues", ImpersonationOption::Required},
    {"Browse", ImpersonationOption::Allowed},
    {"GetMaxHistorySizePerCall", ImpersonationOption::NotAllowed},
}};

OperationContext CallerContext(std::optional<std::string> account) {
  return OperationContext{ServiceSecurityContext{std::move(account)}};
}

TEST(OperationContextTest, ScopesSetAndRestoreTheCurrentContext) {
  EXPECT_EQ(OperationContext::Current(), nullptr);
  {
    OperationContextScope outer(CallerContext("CORP\\alice"));
    EXPECT_EQ(OperationContext::Current()->SecurityContext->WindowsIdentity, "CORP\\alice");
    {
      OperationContextScope inner(OperationContext{});
      EXPECT_FALSE(OperationContext::Current()->SecurityContext);
    }
    EXPECT_EQ(OperationContext::Current()->SecurityContext->WindowsIdentity, "CORP\\alice");
  }
  EXPECT_EQ(OperationContext::Current(), nullptr);
}

TEST(OperationContextTest, FindOperationByExactName) {
  EXPECT_EQ(FindOperation(kDeclarations, "Browse"), &kDeclarations[1]);
  EXPECT_EQ(FindOperation(kDeclarations, "browse"), nullptr);
}

TEST(ServeOperationTest, ImpersonatesTheCallerWhereDeclared) {
  const std::string own = CurrentThreadAccount();
  OperationContextScope scope(CallerContext("CORP\\alice"));
  EXPECT_EQ(ServeOperation(kDeclarations, "GetTagValues", [] { return CurrentThreadAccount(); }),
            "CORP\\alice");
  EXPECT_EQ(ServeOperation(kDeclarations, "Browse", [] { return CurrentThreadAccount(); }),
            "CORP\\alice");
  EXPECT_EQ(ServeOperation(kDeclarations, "GetMaxHistorySizePerCall",
                           [] { return CurrentThreadAccount(); }),
            own);
  EXPECT_EQ(CurrentThreadAccount(), own);
}

TEST(ServeOperationTest, RequiredImpersonationWithoutCallerFails) {
  const std::string own = CurrentThreadAccount();
  bool ran = false;
  for (const auto& context :
       {std::optional<OperationContext>(), std::optional(OperationContext{}),
        std::optional(CallerContext(std::nullopt)), std::optional(CallerContext(""))}) {
    std::optional<OperationContextScope> scope;
    if (context) scope.emplace(*context);
    try {
      ServeOperation(kDeclarations, "GetTagValues", [&] { ran = true; });
      FAIL() << "no error";
    } catch (const InvalidOperationException& error) {
      EXPECT_STREQ(error.what(), "The caller's identity is required for operation GetTagValues.");
    }
    EXPECT_EQ(ServeOperation(kDeclarations, "Browse", [] { return CurrentThreadAccount(); }), own);
  }
  EXPECT_FALSE(ran);
}

TEST(ServeOperationTest, UndeclaredOperationsFailAndErrorsOfTheBodyPassThrough) {
  EXPECT_THROW(ServeOperation(kDeclarations, "Unknown", [] {}), InvalidOperationException);
  const std::string own = CurrentThreadAccount();
  OperationContextScope scope(CallerContext("CORP\\alice"));
  EXPECT_THROW(
      ServeOperation(kDeclarations, "GetTagValues", [] { throw ApplicationException("x"); }),
      ApplicationException);
  EXPECT_EQ(CurrentThreadAccount(), own);
}

}  // namespace
}  // namespace vantrel::platform
