// History reads, forwards and in reverse, and the values just outside the
// requested interval ("outsiders").
#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <vector>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "data/data_access.h"
#include "platform/codepage.h"
#include "platform/exceptions.h"
#include "platform/fault.h"
#include "platform/time_zone.h"

namespace vantrel::access {
namespace {

namespace api = dorvik::api;
using contracts::DateTime;
using contracts::HistoryQuery;
using contracts::HistoryRequestById;
using contracts::OutsidersRequestTypeEnum;
using contracts::TagValue;
using contracts::TagValues;
using contracts::TagValuesByIds;

constexpr int32_t kMicrosecondsPerSecond = 1'000'000;
// The most values one history read allocates room for (a hundred times the
// size limit reported to callers).
constexpr int32_t kMaxValuesPerRead = 1'000'000;
constexpr int32_t kOneMillisecondInMicroseconds = 1'000;
constexpr XUSTS kEarliestNativeTime{1, 0};  // 1970-01-01 00:00:01 UTC
constexpr XUSTS kLatestNativeTime{std::numeric_limits<int32_t>::max(), kMicrosecondsPerSecond - 1};

// What one outsiders kind asks of a read: the extra count of a forward read,
// the kinds of the follow-up reads at the older and newer end (forward and
// reverse), and the follow-up count.
struct OutsidersRule {
  OutsidersRequestTypeEnum type;
  int32_t extraCount;
  OutsidersRequestTypeEnum forwardAfter;
  OutsidersRequestTypeEnum reverseBefore;
  OutsidersRequestTypeEnum reverseAfter;
  int32_t followUpCount;
};

using O = OutsidersRequestTypeEnum;
constexpr OutsidersRule kOutsidersRules[] = {
    {O::BeforeA, 1, O::None, O::None, O::AfterA, 1},      {O::AfterA, 1, O::AfterA, O::BeforeA, O::None, 1},
    {O::BothA, 2, O::AfterA, O::BeforeA, O::AfterA, 1},   {O::BeforeB, 2, O::None, O::None, O::AfterB, 2},
    {O::AfterB, 2, O::AfterB, O::BeforeB, O::None, 2},    {O::BothB, 4, O::AfterB, O::BeforeB, O::AfterB, 2},
    {O::BeforeC, 2, O::None, O::None, O::AfterC, 2},      {O::AfterC, 2, O::AfterC, O::BeforeC, O::None, 2},
    {O::BothC, 4, O::AfterC, O::BeforeC, O::AfterC, 2},
};
constexpr OutsidersRule kNoOutsiders{O::None, 0, O::None, O::None, O::None, 2};

const OutsidersRule& RuleFor(OutsidersRequestTypeEnum type) {
  for (const auto& rule : kOutsidersRules) {
    if (rule.type == type) return rule;
  }
  return kNoOutsiders;
}

bool IsOpenBound(const DateTime& time) { return time == DateTime::MinValue || time == DateTime::MaxValue; }

// A bound as a native time; the maximum timestamp, which lies beyond the
// native range, becomes the latest native time.
XUSTS ToNativeBound(const DateTime& time) {
  return time == DateTime::MaxValue ? kLatestNativeTime : Session::DateTimeToXusts(time);
}

template <typename T>
T ReadAt(const std::byte* data, std::size_t offset) {
  T value;
  std::memcpy(&value, data + offset, sizeof(T));
  return value;
}

// The native buffers of one history read: count levels, times and value
// slots, and for text values a 604-byte character buffer per slot, slot i's
// at i * 604 of one zero-filled block.
struct HistoryBuffers {
  HistoryBuffers(int32_t count, int16_t type, int32_t slotSize)
      : levels(Capacity(count)), times(Capacity(count)), values(Capacity(count) * static_cast<std::size_t>(slotSize)) {
    if (type != api::kTypeTextQuality) return;
    texts.assign(Capacity(count) * api::kHistoryTextSize, '\0');
    for (std::size_t i = 0; i < Capacity(count); ++i) {
      char* address = Text(i).data();
      const auto capacity = static_cast<int16_t>(api::kHistoryTextSize);
      std::byte* slot = values.data() + i * static_cast<std::size_t>(slotSize);
      std::memcpy(slot + offsetof(TVANDQU, TEXT), &address, sizeof(address));
      std::memcpy(slot + offsetof(TVANDQU, LENGTH), &capacity, sizeof(capacity));
    }
  }
  static std::size_t Capacity(int32_t count) { return count > 0 ? static_cast<std::size_t>(count) : 0; }
  // Slot i's character buffer; none for values that are not texts.
  TextBuffer Text(std::size_t i) {
    if (texts.empty()) return {};
    return TextBuffer(texts.data() + i * api::kHistoryTextSize, api::kHistoryTextSize);
  }

  std::vector<int16_t> levels;
  std::vector<XUSTS> times;
  std::vector<std::byte> values;
  std::vector<char> texts;
};

}  // namespace

contracts::TagValuesByIds DataAccess::GetHistoryValuesByIds(const contracts::HistoryRequests& request) {
  return platform::RunServiceOperation([&] {
    TagValuesByIds result;
    for (const auto& one : request) ReadHistory(result, one);
    return result;
  });
}

void DataAccess::ReadHistory(TagValuesByIds& result, const HistoryRequestById& request) {
  const HistoryQuery& query = request.Query;
  const DateTime& start = query.StartTime;
  const DateTime& end = query.EndTime;
  TagValues& pairValues = result[request.TagId][request.FieldId];
  if (IsOpenBound(start) && IsOpenBound(end)) return;
  // This request's own answer, patched on its own: a pair asked twice gets
  // each answer whole, one after the other.
  TagValuesByIds own;
  TagValues& values = own[request.TagId][request.FieldId];

  const bool reverse = (end != DateTime::MinValue && start > end) || start == DateTime::MinValue;
  if (reverse && query.RequestType != contracts::HistoryRequestTypeEnum::Kind4) {
    throw platform::Exception(fmt::format("Request for {0} not supported for reverse history lookup.",
                                          contracts::ToString(query.RequestType)));
  }

  XUSTS from = kEarliestNativeTime;
  XUSTS to = kEarliestNativeTime;
  if (start != DateTime::MinValue) {
    from = ToNativeBound(start);
    to = IsOpenBound(end) ? DateTimeToXusts(platform::UtcNow()) : ToNativeBound(end);
  } else {
    from = ToNativeBound(end);
  }
  if (start == end) {
    // A single instant reads one millisecond.
    to.MICROSECS += kOneMillisecondInMicroseconds;
    if (to.MICROSECS >= kMicrosecondsPerSecond && to.SECONDS < std::numeric_limits<int32_t>::max()) {
      to.MICROSECS -= kMicrosecondsPerSecond;
      ++to.SECONDS;
    }
  }

  const IDANDFT item{request.TagId, request.FieldId};
  int16_t nativeType = 0;
  ERRBLOCK error{};
  GETDATATYPES(1, &item, &nativeType, &error);
  if (error.ERRCODE != api::kSuccess) return;

  int16_t type = 0;
  int32_t slotSize = 0;
  GetHistorySizeAndTypeByType(nativeType, type, slotSize);
  const int32_t count =
      reverse ? query.MaxCount : AdjustHistoryMaxCountByRequestType(query.MaxCount, query.OusidersType);
  // The buffers are allocated for the whole count before the read: a count
  // no read can need would exhaust memory instead of failing.
  if (count > kMaxValuesPerRead) {
    throw platform::ArgumentOutOfRangeException(fmt::format(
        "A history read asks for {0} values; at most {1} can be read at once.", count, kMaxValuesPerRead));
  }

  HistoryBuffers buffers(count, type, slotSize);
  void* const valueBuffers[1] = {buffers.values.data()};
  const int32_t fieldTag = request.FieldId;
  int32_t returned = 0;
  int16_t fieldsDone = 0;
  if (reverse) {
    RHIS21REV(0, 0, 0, 0, request.TagId, request.FieldId + 1, &from, &to, 1, &fieldTag, &type, count,
              buffers.levels.data(), buffers.times.data(), valueBuffers, &returned, &fieldsDone, &error);
  } else {
    RHIS21DATA(static_cast<int32_t>(query.RequestType), query.ReturnStep ? 1 : 0,
               static_cast<int32_t>(query.OusidersType), request.TagId, request.FieldId + 1, &from, &to, 1,
               &fieldTag, &type, count, buffers.levels.data(), buffers.times.data(), valueBuffers, &returned,
               &fieldsDone, &error);
  }

  const auto got = static_cast<std::size_t>(std::clamp(returned, 0, std::max(count, 0)));
  values.reserve(got);
  for (std::size_t i = 0; i < got; ++i) {
    values.push_back(ConvertHistoryBufferToTagValue(type, buffers.values.data() + i * static_cast<std::size_t>(slotSize),
                                                    buffers.levels[i], buffers.times[i], buffers.Text(i)));
  }
  PatchHistoryOutsiders(own, request, count, reverse);
  pairValues.insert(pairValues.end(), std::make_move_iterator(values.begin()), std::make_move_iterator(values.end()));
}

void DataAccess::GetHistorySizeAndTypeByType(int16_t oType, int16_t& nType, int32_t& size) {
  switch (oType) {
    case -24: case -23: case -22:
      nType = api::kTypeTextQuality, size = sizeof(TVANDQU);
      return;
    case -21: case -20: case -16: case -15: case -12: case -11: case -6: case -5:
      nType = api::kTypeDouble, size = sizeof(double);
      return;
    case -19: case -18: case -14: case -13: case -10: case -9: case -4: case -3:
      nType = api::kTypeInt32, size = sizeof(int32_t);
      return;
    case -17: case -8: case -7:
      nType = api::kTypeTime, size = sizeof(XUSTS);
      return;
    default:
      if (oType > 0) {
        nType = oType, size = oType + (oType % 2);
        return;
      }
      throw platform::FaultException(
          contracts::ServiceException(platform::InvalidOperationException(fmt::format("Invalid data type {0}", oType))));
  }
}

TagValue DataAccess::ConvertHistoryBufferToTagValue(int16_t type, const std::byte* data, int16_t level,
                                                    const XUSTS& timestamp, TextBuffer text) {
  TagValue value(contracts::Value(), XustsToDateTime(timestamp), TagValue::kNoStatus, level);
  switch (type) {
    case api::kTypeTextQuality:
      if (!text.empty()) value.Value = ReturnedCodePageText(text, ReadAt<int16_t>(data, offsetof(TVANDQU, LENGTH)));
      break;
    case api::kTypeTime: value.Value = XustsToDateTime(ReadAt<XUSTS>(data, 0)); break;
    case api::kTypeDouble: value.Value = ReadAt<double>(data, 0); break;
    case api::kTypeInt32: value.Value = ReadAt<int32_t>(data, 0); break;
    default:
      if (type > 0) {
        value.Value = platform::FromAsciiTrimmed(
            std::string_view(reinterpret_cast<const char*>(data), static_cast<std::size_t>(type)));
        break;
      }
      throw platform::FaultException(
          contracts::ServiceException(platform::InvalidOperationException(fmt::format("Invalid data type {0}", type))));
  }
  return value;
}

int32_t DataAccess::AdjustHistoryMaxCountByRequestType(int32_t requestedCount,
                                                       OutsidersRequestTypeEnum outsidersRequestType) {
  const int64_t adjusted = int64_t{requestedCount} + RuleFor(outsidersRequestType).extraCount;
  return static_cast<int32_t>(std::min<int64_t>(adjusted, std::numeric_limits<int32_t>::max()));
}

TagValues DataAccess::ReadFollowUp(const HistoryRequestById& request, const DateTime& start, const DateTime& end,
                                   OutsidersRequestTypeEnum kind, int32_t maxCount) {
  HistoryRequestById followUp;
  followUp.TagId = request.TagId;
  followUp.FieldId = request.FieldId;
  followUp.Query.StartTime = start;
  followUp.Query.EndTime = end;
  followUp.Query.MaxCount = maxCount;
  followUp.Query.RequestType = request.Query.RequestType;
  followUp.Query.ReturnStep = request.Query.ReturnStep;
  followUp.Query.OusidersType = kind;
  TagValuesByIds answer = GetHistoryValuesByIds({followUp});
  return std::move(answer[request.TagId][request.FieldId]);
}

void DataAccess::PatchHistoryOutsiders(TagValuesByIds& tagValuesByIds, const HistoryRequestById& request,
                                       int32_t requestedCount, bool reverse) {
  TagValues& values = tagValuesByIds[request.TagId][request.FieldId];
  const HistoryQuery& query = request.Query;
  if (!reverse && static_cast<int64_t>(values.size()) < requestedCount) return;
  const OutsidersRule& rule = RuleFor(query.OusidersType);

  if (reverse) {
    if (rule.reverseAfter != O::None) {
      const DateTime t = values.empty() ? query.StartTime : values.front().Timestamp;
      // An open start (the minimum or the maximum timestamp) has no stored
      // value just after it, and a window past the maximum cannot be formed.
      if (!IsOpenBound(t)) {
        TagValues found = ReadFollowUp(request, t.AddMilliseconds(1), t.AddMilliseconds(2), rule.reverseAfter,
                                       rule.followUpCount);
        if (!found.empty()) {
          if (rule.followUpCount == 1) {
            values.insert(values.begin(), found.back());
          } else {
            values.insert(values.begin(), found.rbegin(), found.rend());
          }
        }
      }
    }
    if (rule.reverseBefore != O::None) {
      const DateTime t = values.empty() ? query.EndTime : values.back().Timestamp;
      TagValues found = ReadFollowUp(request, t.AddMilliseconds(-2), t.AddMilliseconds(-1), rule.reverseBefore,
                                     rule.followUpCount);
      if (!found.empty()) {
        if (rule.followUpCount == 1) {
          values.push_back(found.back());
        } else {
          values.insert(values.end(), found.rbegin(), found.rend());
        }
      }
    }
    return;
  }

  const auto wanted = static_cast<std::size_t>(std::max(query.MaxCount, 0));
  if (values.size() <= wanted || rule.forwardAfter == O::None) return;
  const auto firstInside =
      std::find_if(values.begin(), values.end(), [&](const TagValue& v) { return v.Timestamp >= query.StartTime; });
  const std::size_t lead = firstInside == values.end() ? 0 : static_cast<std::size_t>(firstInside - values.begin());
  const std::size_t keep = wanted + lead;
  // An answer with more leading values than asked for has no tail to patch.
  if (keep > values.size()) return;
  for (std::size_t i = keep; i < values.size(); ++i) {
    if (values[i].Level == 0) {
      values.erase(values.begin() + static_cast<std::ptrdiff_t>(i) + 1, values.end());
      return;
    }
  }
  if (keep == 0) return;  // no value to continue from
  const DateTime t = values[keep - 1].Timestamp;
  TagValues found =
      ReadFollowUp(request, t.AddMilliseconds(1), t.AddMilliseconds(2), rule.forwardAfter, rule.followUpCount);
  values.erase(values.begin() + static_cast<std::ptrdiff_t>(keep), values.end());
  values.insert(values.end(), found.begin(), found.end());
}

}  // namespace vantrel::access
