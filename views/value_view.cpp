#include "views/value_view.h"

#include <cmath>
#include <type_traits>

#include <fmt/format.h>

#include "data/value_conversion.h"

namespace vantrel::cli {
namespace {

using contracts::DateTime;

constexpr std::string_view kNoValue = "(none)";

// A time value: to the second as jq's fromdate reads it, with the
// milliseconds only when it has some.
std::string TimeValueText(const DateTime& time) {
  const std::string whole = JsonTime(time);
  const int64_t milliseconds = (EpochMilliseconds(time) % 1000 + 1000) % 1000;
  if (milliseconds == 0) return whole;
  return fmt::format("{}.{:03}Z", whole.substr(0, whole.size() - 1), milliseconds);
}

Json RealJson(double real) {
  if (std::isnan(real)) return "NaN";
  if (std::isinf(real)) return real > 0 ? "Infinity" : "-Infinity";
  return real;
}

}  // namespace

Cell ValueCell(const contracts::Value& value, const contracts::Selectors& selectors) {
  if (!contracts::HasValue(value)) return std::string(kNoValue);
  if (const auto* time = std::get_if<DateTime>(&value)) return *time;
  if (!selectors.empty()) {
    if (const auto number = NumberOf(value)) {
      const auto text = selectors.find(static_cast<int32_t>(*number));
      if (text != selectors.end()) return text->second;
    }
  }
  return access::ToText(value);
}

Json ValueJson(const contracts::Value& value) {
  return std::visit(
      [](const auto& v) -> Json {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return nullptr;
        } else if constexpr (std::is_floating_point_v<T>) {
          return RealJson(static_cast<double>(v));
        } else if constexpr (std::is_same_v<T, DateTime>) {
          return TimeValueText(v);
        } else if constexpr (std::is_same_v<T, contracts::TagIdentifiers>) {
          if (v.size() == 2) return Json{{"record", v[0].Name}, {"field", v[1].Name}};
          Json list = Json::array();
          for (const auto& identifier : v) list.push_back(identifier.Name);
          return list;
        } else {
          return v;
        }
      },
      value);
}

Json TagValueJson(const contracts::TagValue& value, const ResolvedField& field) {
  Json json = Json::object();
  json["value"] = ValueJson(value.Value);
  if (!field.selectors.empty()) {
    const Cell text = ValueCell(value.Value, field.selectors);
    if (const auto* selector = std::get_if<std::string>(&text)) json["text"] = *selector;
  }
  if (field.HasQuality()) {
    json["status"] = value.Status;
    json["level"] = value.Level;
  }
  if (field.HasTime() && value.Timestamp != DateTime::MinValue) {
    json["time"] = JsonTime(value.Timestamp);
    json["timeMs"] = EpochMilliseconds(value.Timestamp);
  }
  return json;
}

std::optional<double> NumberOf(const contracts::Value& value) {
  return std::visit(
      [](const auto& v) -> std::optional<double> {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_arithmetic_v<T> && !std::is_same_v<T, bool>) {
          return static_cast<double>(v);
        } else {
          return std::nullopt;
        }
      },
      value);
}

}  // namespace vantrel::cli
