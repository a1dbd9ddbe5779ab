#include "views/history_query.h"

#include <algorithm>

#include <fmt/format.h>

#include "views/errors.h"
#include "views/field_resolver.h"
#include "views/progress.h"
#include "views/record_patterns.h"
#include "views/text_compare.h"

namespace vantrel::cli {

using contracts::DateTime;
using contracts::OutsidersRequestTypeEnum;

const std::array<OutsidersKind, 10> kOutsidersKinds{{
    {"None", OutsidersRequestTypeEnum::None, "only the values inside the interval (the default)"},
    {"BeforeA", OutsidersRequestTypeEnum::BeforeA, "and the one value before it"},
    {"AfterA", OutsidersRequestTypeEnum::AfterA, "and the one value after it"},
    {"BothA", OutsidersRequestTypeEnum::BothA, "and one value on each side"},
    {"BeforeB", OutsidersRequestTypeEnum::BeforeB, "and up to two values before it"},
    {"AfterB", OutsidersRequestTypeEnum::AfterB, "and up to two values after it"},
    {"BothB", OutsidersRequestTypeEnum::BothB, "and up to two values on each side"},
    {"BeforeC", OutsidersRequestTypeEnum::BeforeC, "and up to two values before it (kind C)"},
    {"AfterC", OutsidersRequestTypeEnum::AfterC, "and up to two values after it (kind C)"},
    {"BothC", OutsidersRequestTypeEnum::BothC, "and up to two values on each side (kind C)"},
}};

OutsidersRequestTypeEnum ParseOutsiders(std::string_view text) {
  std::string names;
  for (const auto& kind : kOutsidersKinds) {
    if (EqualsIgnoringCase(text, kind.name)) return kind.kind;
    names += fmt::format("{}{}", names.empty() ? "" : ", ", kind.name);
  }
  throw UsageError(fmt::format("--outsiders: '{}' is not a kind; kinds: {}", text, names));
}

DateTime HistoryArgs::To() const { return to.value_or(now); }

DateTime HistoryArgs::From() const {
  if (from) return *from;
  constexpr int64_t kDay = DateTime::kTicksPerDay;
  const DateTime end = To();
  return end.Ticks() > kDay ? end.AddTicks(-kDay) : DateTime(0, contracts::DateTimeKind::Utc);
}

std::vector<ResolvedField> ResolveHistoryFields(const HistoryArgs& args, ViewSources& sources) {
  FieldResolver resolver(sources.Access(), sources.Catalog());
  const std::vector<std::string> records = ExpandRecordPatterns(args.records, sources.Catalog());
  std::vector<ResolvedField> fields = resolver.Resolve(records, {args.field});
  const bool numbersOnly = !args.plot.empty() || args.alignTicks || args.everyTicks;
  for (const ResolvedField& field : fields) {
    if (field.definition.HistoryPointer == 0 || field.occurrence > 0) {
      throw NotFoundError(fmt::format("{} keeps no history", field.FullName()));
    }
    if (numbersOnly && !field.IsNumeric()) {
      throw UsageError(fmt::format("{} holds {} values; --plot, --align and --every take numbers only",
                                   field.FullName(), contracts::ToString(field.definition.DataType)));
    }
  }
  return fields;
}

HistoryWindow WindowOf(const HistoryArgs& args) {
  HistoryWindow window{args.From(), args.To(), args.max, args.outsiders, args.step};
  if (args.alignTicks || args.everyTicks) {
    // Forward, with the value in force at the start.
    window.from = std::min(args.From(), args.To());
    window.to = std::max(args.From(), args.To());
    window.outsiders = OutsidersRequestTypeEnum::BeforeA;
  }
  return window;
}

// Rows of values as they come: one stream from the interval's values on.
std::vector<FieldHistory> ReadHistories(const HistoryArgs& args, const std::vector<ResolvedField>& fields,
                                        ToolAccess& access) {
  const HistoryWindow window = WindowOf(args);
  std::vector<FieldHistory> histories;
  Progress progress(fields.size() == 1 ? fmt::format("reading the history of {}", fields.front().FullName())
                                       : fmt::format("reading the history of {} fields", fields.size()),
                    static_cast<int64_t>(fields.size()));
  for (const ResolvedField& field : fields) {
    FieldHistory history = ReadFieldHistory(access, field, window);
    history.units = RecordText(access, field, "UNITS");
    history.description = RecordText(access, field, "DESCRIPTION");
    histories.push_back(std::move(history));
    progress.Advance();
  }
  return histories;
}

HistoryShown ShowHistoryQuery(const HistoryArgs& args, const std::vector<FieldHistory>& histories,
                              const OutputStyle& style) {
  const HistoryLayout layout{args.alignTicks, args.hold, args.everyTicks, args.aggregates};
  HistoryShown shown = ShowHistories(histories, WindowOf(args), layout, style);
  if (args.step) {
    for (auto& series : shown.chart.series) series.steps = true;
  }
  return shown;
}

}  // namespace vantrel::cli
