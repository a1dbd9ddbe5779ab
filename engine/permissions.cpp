#include "engine/permissions.h"

#include <algorithm>
#include <string>

#include "engine/engine.h"

namespace dorvik {

void SnapshotRights(const View& view, UserContext& user) {
  user.epoch = Engine::Instance().epoch();
  const std::string systemAccount = view.SystemAccount();
  user.system = !systemAccount.empty() && EqualsIgnoreCase(user.account, systemAccount);
  user.levels.clear();
  for (const Grant& grant : view.Grants()) {
    if (grant.account != "*" && !EqualsIgnoreCase(grant.account, user.account)) continue;
    int16_t& level = user.levels[grant.targetId];
    level = std::max(level, grant.level);
  }
}

int16_t RightsLevel(const View& view, const RecordRef& record) {
  UserContext& user = CurrentUser();
  if (!user.set) return 1;
  if (user.epoch != Engine::Instance().epoch()) SnapshotRights(view, user);
  if (user.system) return 3;
  int16_t level = 1;
  for (int32_t target : {record.id, record.definitionId}) {
    auto it = user.levels.find(target);
    if (it != user.levels.end()) level = std::max(level, it->second);
  }
  return level;
}

}  // namespace dorvik
