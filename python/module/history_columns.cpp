#include "python/module/history_columns.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <variant>

#include "data/data_access.h"
#include "platform/operation_context.h"
#include "wire/history_columns.h"

namespace vantrel::python {
namespace {

using contracts::DateTime;

constexpr int64_t kNanosecondsPerTick = 100;

int16_t ClampToInt16(int32_t number) {
  return static_cast<int16_t>(std::clamp<int32_t>(number, std::numeric_limits<int16_t>::min(),
                                                  std::numeric_limits<int16_t>::max()));
}

}  // namespace

DateTime DateTimeFromNanoseconds(int64_t nanoseconds) {
  // Floor division, so that an instant before 1970 rounds towards the past.
  int64_t ticks = nanoseconds / kNanosecondsPerTick;
  if (nanoseconds % kNanosecondsPerTick < 0) --ticks;
  return DateTime(DateTime::kUnixEpochTicks + ticks, contracts::DateTimeKind::Utc);
}

int64_t NanosecondsOf(const DateTime& time) { return wire::NanosecondsOf(time); }

contracts::TagValues ReadHistoryPage(const contracts::HistoryRequestById& request,
                                     const std::optional<std::string>& account) {
  const contracts::HistoryRequests requests{request};
  auto read = [&requests, &request] {
    access::DataAccess service;
    contracts::TagValuesByIds answer = service.GetHistoryValuesByIds(requests);
    auto record = answer.find(request.TagId);
    if (record == answer.end()) return contracts::TagValues();
    auto field = record.value().find(request.FieldId);
    if (field == record.value().end()) return contracts::TagValues();
    return std::move(field.value());
  };
  if (!account) return read();
  platform::OperationContextScope caller(platform::OperationContext{platform::ServiceSecurityContext{*account}});
  return platform::ServeOperation(access::DataAccess::kOperations, "GetHistoryValuesByIds", read);
}

bool FillColumns(const contracts::TagValues& values, const HistoryColumns& columns) {
  bool allNumbers = true;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const contracts::TagValue& value = values[i];
    columns.times[i] = NanosecondsOf(value.Timestamp);
    columns.values[i] = wire::NumberOf(value.Value, allNumbers);
    columns.status[i] = ClampToInt16(value.Status);
    columns.level[i] = ClampToInt16(value.Level);
  }
  return allNumbers;
}

std::optional<std::string> NonNumericText(const contracts::Value& value) { return wire::NonNumericText(value); }

}  // namespace vantrel::python
