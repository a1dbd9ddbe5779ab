#include "views/history_read.h"

#include <algorithm>

#include "views/tool_services.h"
#include "data/data_access.h"
#include "data/value_conversion.h"

namespace vantrel::cli {
namespace {

using contracts::DateTime;
using contracts::OutsidersRequestTypeEnum;
using contracts::TagValue;
using contracts::TagValues;

constexpr int32_t kBeforeKinds = 1 | 8 | 32;
constexpr int32_t kAfterKinds = 2 | 16 | 64;
constexpr int64_t kMillisecond = DateTime::kTicksPerMillisecond;

// How many outsiders a kind asks for on each side it names.
int32_t PerSide(int32_t kinds) { return (kinds & (1 | 2)) != 0 ? 1 : 2; }

TagValues Read(ToolAccess& access, const ResolvedField& field, const contracts::HistoryQuery& query) {
  contracts::HistoryRequestById request;
  request.TagId = field.recordId;
  request.FieldId = field.fieldTag;
  request.Query = query;
  auto answer = access.GetHistoryValuesByIds({request});
  return std::move(answer[field.recordId][field.fieldTag]);
}

// The outsiders beyond the interval's far end (its newer end for a forward
// read, its older end for a reverse one), from a read of a millisecond just
// beyond that end, in the order of the main read.
TagValues FarOutsiders(ToolAccess& access, const ResolvedField& field, const HistoryWindow& window) {
  const auto asked = static_cast<int32_t>(window.outsiders);
  const int32_t kind = asked & (window.Reverse() ? kBeforeKinds : kAfterKinds);
  if (kind == 0) return {};
  contracts::HistoryQuery query;
  query.MaxCount = PerSide(kind);
  query.OusidersType = static_cast<OutsidersRequestTypeEnum>(kind);
  query.ReturnStep = window.step;
  const DateTime edge = window.Reverse() ? window.Low() : window.High();
  query.StartTime = window.Reverse() ? edge.AddTicks(-2 * kMillisecond) : edge.AddTicks(kMillisecond);
  query.EndTime = query.StartTime.AddTicks(kMillisecond);
  TagValues found = Read(access, field, query);
  std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.Timestamp < b.Timestamp; });
  TagValues outside;
  const std::size_t wanted = static_cast<std::size_t>(PerSide(kind));
  if (window.Reverse()) {
    for (auto it = found.rbegin(); it != found.rend() && outside.size() < wanted; ++it) {
      if (it->Timestamp < edge) outside.push_back(*it);
    }
  } else {
    for (const TagValue& value : found) {
      if (value.Timestamp > edge && outside.size() < wanted) outside.push_back(value);
    }
  }
  return outside;
}

}  // namespace

Side FieldHistory::SideOf(const TagValue& value, const HistoryWindow& window) const {
  if (value.Timestamp < window.Low()) return Side::kBefore;
  return value.Timestamp > window.High() ? Side::kAfter : Side::kInside;
}

FieldHistory ReadFieldHistory(ToolAccess& access, const ResolvedField& field, const HistoryWindow& window) {
  contracts::HistoryQuery query;
  query.StartTime = window.from;
  query.EndTime = window.to;
  query.MaxCount = window.max + 1;  // one more tells a cut read
  query.OusidersType = window.outsiders;
  query.ReturnStep = window.step;
  const TagValues read = Read(access, field, query);
  FieldHistory history{field, {}, {}, {}, 0, false, {}};
  const Side farSide = window.Reverse() ? Side::kBefore : Side::kAfter;
  for (const TagValue& value : read) {
    const Side side = history.SideOf(value, window);
    if (side == Side::kInside && history.inside == window.max) {
      history.truncated = true;
      if (!history.firstLeftOut) history.firstLeftOut = value;
      continue;
    }
    // Beyond a cut the far end's outsiders are read again below.
    if (history.truncated && side == farSide) continue;
    if (side == Side::kInside) ++history.inside;
    history.values.push_back(value);
  }
  if (history.truncated) {
    // What the cut read returned at the far end were values inside the interval.
    std::erase_if(history.values, [&](const TagValue& value) { return history.SideOf(value, window) == farSide; });
    for (TagValue& value : FarOutsiders(access, field, window)) history.values.push_back(std::move(value));
  }
  return history;
}

std::string RecordText(ToolAccess& access, const ResolvedField& field, const std::string& name) {
  const int32_t tag = access.GetAttributeID(name);
  if (tag <= 0) return {};
  contracts::TagsById request;
  request[field.recordId] = {tag};
  try {
    const auto values = access.GetTagValues(request);
    const auto record = values.find(field.recordId);
    if (record == values.end()) return {};
    const auto text = record->second.find(tag);
    if (text == record->second.end() || text->second.empty()) return {};
    return access::ToText(text->second.front().Value);
  } catch (const std::exception&) {
    return {};  // a record without that field: the chart goes without
  }
}

}  // namespace vantrel::cli
