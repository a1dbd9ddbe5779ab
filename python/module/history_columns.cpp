#include "python/module/history_columns.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <variant>

#include "data/data_access.h"
#include "platform/operation_context.h"

namespace vantrel::python {
namespace {

using contracts::DateTime;

constexpr int64_t kNanosecondsPerTick = 100;

int16_t ClampToInt16(int32_t number) {
  return static_cast<int16_t>(std::clamp<int32_t>(number, std::numeric_limits<int16_t>::min(),
                                                  std::numeric_limits<int16_t>::max()));
}

// The value as float64; NaN (and false in isNumber) when it is not a number.
double AsNumber(const contracts::Value& value, bool& isNumber) {
  return std::visit(
      [&isNumber](const auto& held) -> double {
        using Held = std::decay_t<decltype(held)>;
        if constexpr (std::is_same_v<Held, double>) {
          return held;
        } else if constexpr (std::is_arithmetic_v<Held>) {
          return static_cast<double>(held);
        } else if constexpr (std::is_same_v<Held, std::monostate>) {
          return std::numeric_limits<double>::quiet_NaN();
        } else {
          isNumber = false;
          return std::numeric_limits<double>::quiet_NaN();
        }
      },
      value);
}

}  // namespace

DateTime DateTimeFromNanoseconds(int64_t nanoseconds) {
  // Floor division, so that an instant before 1970 rounds towards the past.
  int64_t ticks = nanoseconds / kNanosecondsPerTick;
  if (nanoseconds % kNanosecondsPerTick < 0) --ticks;
  return DateTime(DateTime::kUnixEpochTicks + ticks, contracts::DateTimeKind::Utc);
}

int64_t NanosecondsOf(const DateTime& time) {
  return (time.Ticks() - DateTime::kUnixEpochTicks) * kNanosecondsPerTick;
}

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
    columns.values[i] = AsNumber(value.Value, allNumbers);
    columns.status[i] = ClampToInt16(value.Status);
    columns.level[i] = ClampToInt16(value.Level);
  }
  return allNumbers;
}

std::optional<std::string> NonNumericText(const contracts::Value& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  if (const auto* time = std::get_if<DateTime>(&value)) return time->ToIsoString();
  if (const auto* ids = std::get_if<contracts::TagIdentifiers>(&value)) {
    std::string joined;
    for (const auto& id : *ids) joined += (joined.empty() ? "" : " ") + id.Name;
    return joined;
  }
  return std::nullopt;
}

}  // namespace vantrel::python
