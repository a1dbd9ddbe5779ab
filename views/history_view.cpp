#include "views/history_view.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "views/errors.h"
#include "views/duration.h"
#include "views/value_view.h"
#include "data/value_conversion.h"

namespace vantrel::cli {
namespace {

using contracts::DateTime;
using contracts::TagValue;

constexpr std::size_t kSparklineWidth = 60;

std::optional<DateTime> CutAt(const FieldHistory& history) {
  if (!history.truncated || !history.firstLeftOut) return std::nullopt;
  return history.firstLeftOut->Timestamp;
}

// A stored or computed number in ten significant digits: 70.135, not 70.13499999999999.
std::string NumberText(std::optional<double> number) {
  if (!number) return "";
  return fmt::format("{:.10g}", *number);
}

Json NumberJson(std::optional<double> number) { return number ? Json(*number) : Json(nullptr); }

Json TimeJson(Json json, const std::string& name, const DateTime& time) {
  json[name] = JsonTime(time);
  json[name + "Ms"] = EpochMilliseconds(time);
  return json;
}

// The interval asked for, as the JSON of history has always given it.
Json Interval(const DateTime& from, const DateTime& to) { return Json{{"from", JsonTime(from)}, {"to", JsonTime(to)}}; }

// The JSON members that mark a cut read: "truncated", and where to read on.
void MarkTruncation(Json& json, std::optional<DateTime> resume) {
  json["truncated"] = resume.has_value();
  if (resume) json = TimeJson(std::move(json), "nextFrom", *resume);
}

std::string CutNote(const std::string& what, int32_t max, const DateTime& resume, bool utc) {
  return fmt::format("{}: cut at --max {}: values from {} on were not read; go on with --from \"{}\"", what, max,
                     TextTime(resume, utc), TextTime(resume, utc));
}

const char* SideNote(Side side) {
  switch (side) {
    case Side::kBefore:
      return "outside, before the interval";
    case Side::kAfter:
      return "outside, after the interval";
    case Side::kInside:
      break;
  }
  return "";
}

std::optional<const char*> SideName(Side side) {
  if (side == Side::kInside) return std::nullopt;
  return side == Side::kBefore ? "before" : "after";
}

std::string Caption(const FieldHistory& history, const HistoryWindow& window, bool utc) {
  const std::string units = history.units.empty() ? "" : " (" + history.units + ")";
  const int64_t outside = static_cast<int64_t>(history.values.size()) - history.inside;
  return fmt::format("{}{}: {} value{} from {} to {}{}", history.field.FullName(), units, history.inside,
                     history.inside == 1 ? "" : "s", TextTime(window.from, utc), TextTime(window.to, utc),
                     outside > 0 ? fmt::format(", and {} outside", outside) : "");
}

TrendSeries SeriesOf(const FieldHistory& history) {
  TrendSeries series{history.field.FullName(),           history.units, history.description, {}, {},
                     HoldsBetweenSamples(history.field), CutAt(history)};
  return series;
}

// The earliest time any history was cut at.
std::optional<DateTime> EarliestCut(const std::vector<FieldHistory>& histories) {
  std::optional<DateTime> earliest;
  for (const FieldHistory& history : histories) {
    if (const auto cut = CutAt(history); cut && (!earliest || *cut < *earliest)) earliest = cut;
  }
  return earliest;
}

// --- values as read ---------------------------------------------------------------

Json ValuesJson(const FieldHistory& history, const HistoryWindow& window, TrendSeries& series) {
  Json list = Json::array();
  for (const TagValue& value : history.values) {
    const Side side = history.SideOf(value, window);
    Json entry{{"time", JsonTime(value.Timestamp)},
               {"timeMs", EpochMilliseconds(value.Timestamp)},
               {"value", ValueJson(value.Value)},
               {"level", value.Level}};
    if (const auto name = SideName(side)) entry["outsider"] = *name;
    list.push_back(std::move(entry));
    if (const auto number = NumberOf(value.Value)) {
      series.points.push_back(TrendPoint{value.Timestamp, *number, value.Level, side != Side::kInside});
    }
  }
  return list;
}

std::string SparklineOf(const FieldHistory& history) {
  std::vector<Sample> samples = SamplesOf(history);
  std::vector<double> numbers;
  for (const Sample& sample : samples) {
    if (std::isfinite(sample.value)) numbers.push_back(sample.value);
  }
  if (numbers.size() < 2) return {};
  const auto [lowest, highest] = std::minmax_element(numbers.begin(), numbers.end());
  return fmt::format("{}  {} to {}{}", Sparkline(numbers, kSparklineWidth), NumberText(*lowest), NumberText(*highest),
                     history.units.empty() ? "" : " " + history.units);
}

// Each history's values, by time (in the read's direction) when several.
void ShowValues(const std::vector<FieldHistory>& histories, const HistoryWindow& window, const OutputStyle& style,
                HistoryShown& result) {
  const bool several = histories.size() > 1;
  Shown& shown = result.shown;
  shown.table.columns = {{"TIME"}, {"VALUE"}, {"LEVEL", true}, {"NOTE"}};
  if (several) shown.table.columns.insert(shown.table.columns.begin() + 1, Column{"RECORD"});
  struct Row {
    DateTime time;
    std::vector<Cell> cells;
  };
  std::vector<Row> rows;
  Json all = Json::array();
  for (const FieldHistory& history : histories) {
    TrendSeries series = SeriesOf(history);
    Json entry{{"record", history.field.record}, {"field", history.field.Label()}, {"units", history.units}};
    if (!several) entry.update(Interval(window.from, window.to));
    entry["values"] = ValuesJson(history, window, series);
    MarkTruncation(entry, CutAt(history));
    all.push_back(std::move(entry));
    for (const TagValue& value : history.values) {
      std::vector<Cell> cells{value.Timestamp, ValueCell(value.Value, history.field.selectors),
                              std::to_string(value.Level), SideNote(history.SideOf(value, window))};
      if (several) cells.insert(cells.begin() + 1, history.field.record);
      rows.push_back(Row{value.Timestamp, std::move(cells)});
    }
    shown.caption += (shown.caption.empty() ? "" : "\n") + Caption(history, window, style.utc);
    result.chart.series.push_back(std::move(series));
  }
  if (several) {
    std::stable_sort(rows.begin(), rows.end(),
                     [&](const Row& a, const Row& b) { return window.Reverse() ? b.time < a.time : a.time < b.time; });
  }
  for (Row& row : rows) shown.table.rows.push_back(std::move(row.cells));
  if (rows.empty()) shown.sentence = "(no values)";
  if (several) {
    shown.json = Interval(window.from, window.to);
    shown.json["truncated"] = EarliestCut(histories).has_value();  // any of them; each says where to go on
    shown.json["series"] = std::move(all);
  } else {
    shown.json = std::move(all.front());
  }
  if (style.terminal && !several) shown.footer = SparklineOf(histories.front());
}

// --- values on a grid -------------------------------------------------------------------

void ShowAligned(const std::vector<FieldHistory>& histories, const HistoryWindow& window, const HistoryLayout& layout,
                 const OutputStyle& style, HistoryShown& result) {
  const std::optional<DateTime> cut = EarliestCut(histories);
  std::vector<DateTime> grid = GridTimes(window.Low(), window.High(), *layout.alignTicks);
  std::optional<DateTime> resume;
  if (cut) {
    const auto end = std::lower_bound(grid.begin(), grid.end(), *cut);
    if (end != grid.end()) resume = *end;
    grid.erase(end, grid.end());
  }
  Shown& shown = result.shown;
  shown.table.columns = {{"TIME"}};
  std::vector<std::vector<std::optional<double>>> columns;
  Json series = Json::array();
  for (const FieldHistory& history : histories) {
    shown.table.columns.push_back(Column{history.field.FullName(), true});
    columns.push_back(ValuesOnGrid(SamplesOf(history), grid, layout.hold));
    series.push_back(
        Json{{"record", history.field.record}, {"field", history.field.Label()}, {"units", history.units}});
    TrendSeries drawn = SeriesOf(history);
    drawn.steps = layout.hold == Hold::kStep;
    drawn.truncatedAt = resume;
    for (std::size_t i = 0; i < grid.size(); ++i) {
      drawn.points.push_back(TrendPoint{grid[i], columns.back()[i].value_or(std::numeric_limits<double>::quiet_NaN())});
    }
    result.chart.series.push_back(std::move(drawn));
  }
  Json rows = Json::array();
  for (std::size_t i = 0; i < grid.size(); ++i) {
    std::vector<Cell> cells{grid[i]};
    Json values = Json::object();
    for (std::size_t c = 0; c < histories.size(); ++c) {
      cells.emplace_back(NumberText(columns[c][i]));
      values[histories[c].field.FullName()] = NumberJson(columns[c][i]);
    }
    shown.table.rows.push_back(std::move(cells));
    rows.push_back(TimeJson(Json{{"values", std::move(values)}}, "time", grid[i]));
  }
  shown.json = Interval(window.Low(), window.High());
  shown.json["align"] = DurationText(*layout.alignTicks);
  shown.json["hold"] = layout.hold == Hold::kStep ? "step" : "linear";
  shown.json["series"] = std::move(series);
  shown.json["rows"] = std::move(rows);
  MarkTruncation(shown.json, resume);
  shown.caption = fmt::format("{} every {} from {} to {}, {} hold",
                              histories.size() == 1 ? "1 field" : fmt::format("{} fields", histories.size()),
                              DurationText(*layout.alignTicks), TextTime(window.Low(), style.utc),
                              TextTime(window.High(), style.utc), layout.hold == Hold::kStep ? "step" : "linear");
  if (grid.empty()) shown.sentence = "(no grid times)";
  result.chart.note = fmt::format("on a grid of {}, {} hold", DurationText(*layout.alignTicks),
                                  layout.hold == Hold::kStep ? "step" : "linear");
}

// --- summaries per interval ------------------------------------------------------------

std::string AggregateHeader(AggregateKind kind) {
  std::string name(AggregateName(kind));
  std::transform(name.begin(), name.end(), name.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
  return name;
}

Json IntervalJson(const IntervalSummary& summary, const std::vector<AggregateKind>& kinds) {
  Json json = TimeJson(TimeJson(Json::object(), "start", summary.start), "end", summary.end);
  for (AggregateKind kind : kinds) {
    json[std::string(AggregateName(kind))] =
        kind == AggregateKind::kCount ? Json(summary.count) : NumberJson(summary.Get(kind));
  }
  return json;
}

void ShowSummaries(const std::vector<FieldHistory>& histories, const HistoryWindow& window, const HistoryLayout& layout,
                   const OutputStyle& style, HistoryShown& result) {
  const bool several = histories.size() > 1;
  const std::optional<DateTime> cut = EarliestCut(histories);
  std::optional<DateTime> resume;
  Shown& shown = result.shown;
  shown.table.columns = {{"START"}, {"END"}};
  if (several) shown.table.columns.push_back(Column{"RECORD"});
  for (AggregateKind kind : layout.aggregates) shown.table.columns.push_back(Column{AggregateHeader(kind), true});
  Json all = Json::array();
  for (const FieldHistory& history : histories) {
    std::vector<IntervalSummary> summaries =
        Summarize(SamplesOf(history), window.Low(), window.High(), *layout.everyTicks);
    if (cut) {
      // An interval that ends after the cut is not complete: it and the rest are left out.
      const auto end = std::find_if(summaries.begin(), summaries.end(), [&](const auto& s) { return s.end > *cut; });
      if (end != summaries.end()) resume = end->start;
      summaries.erase(end, summaries.end());
    }
    TrendSeries drawn = SeriesOf(history);
    drawn.steps = true;
    drawn.truncatedAt = resume;
    Json intervals = Json::array();
    for (const IntervalSummary& summary : summaries) {
      std::vector<Cell> cells{summary.start, summary.end};
      if (several) cells.emplace_back(history.field.record);
      for (AggregateKind kind : layout.aggregates) {
        cells.emplace_back(kind == AggregateKind::kCount ? std::to_string(summary.count)
                                                         : NumberText(summary.Get(kind)));
      }
      shown.table.rows.push_back(std::move(cells));
      intervals.push_back(IntervalJson(summary, layout.aggregates));
      if (summary.min && summary.max)
        drawn.bands.push_back(TrendBand{summary.start, summary.end, *summary.min, *summary.max});
      if (summary.avg) drawn.points.push_back(TrendPoint{summary.start, *summary.avg});
      if (summary.avg && &summary == &summaries.back()) drawn.points.push_back(TrendPoint{summary.end, *summary.avg});
    }
    Json entry{{"record", history.field.record}, {"field", history.field.Label()}, {"units", history.units}};
    if (!several) entry.update(Interval(window.Low(), window.High()));
    entry["intervals"] = std::move(intervals);
    all.push_back(std::move(entry));
    result.chart.series.push_back(std::move(drawn));
  }
  if (several) {
    std::stable_sort(shown.table.rows.begin(), shown.table.rows.end(), [](const auto& a, const auto& b) {
      return std::get<DateTime>(a.front()) < std::get<DateTime>(b.front());
    });
    shown.json = Interval(window.Low(), window.High());
    shown.json["series"] = std::move(all);
  } else {
    shown.json = std::move(all.front());
  }
  shown.json["every"] = DurationText(*layout.everyTicks);
  MarkTruncation(shown.json, resume);
  shown.caption = fmt::format("{} per {} from {} to {}; avg weighs each value by how long it held",
                              several ? fmt::format("{} fields", histories.size()) : histories.front().field.FullName(),
                              DurationText(*layout.everyTicks), TextTime(window.Low(), style.utc),
                              TextTime(window.High(), style.utc));
  if (shown.table.rows.empty()) shown.sentence = "(no intervals)";
  result.chart.note =
      fmt::format("per {}: lines the time-weighted average, bands min to max", DurationText(*layout.everyTicks));
}

}  // namespace

bool HoldsBetweenSamples(const ResolvedField& field) {
  using contracts::TypeCode;
  const auto type = field.definition.DataType;
  return !field.selectors.empty() || type == TypeCode::Int16 || type == TypeCode::Int32;
}

std::vector<Sample> SamplesOf(const FieldHistory& history) {
  std::vector<Sample> samples;
  const auto add = [&samples](const TagValue& value) {
    samples.push_back(
        Sample{value.Timestamp, NumberOf(value.Value).value_or(std::numeric_limits<double>::quiet_NaN())});
  };
  for (const TagValue& value : history.values) add(value);
  if (history.firstLeftOut) add(*history.firstLeftOut);
  std::stable_sort(samples.begin(), samples.end(), [](const Sample& a, const Sample& b) { return a.time < b.time; });
  return samples;
}

HistoryShown ShowHistories(const std::vector<FieldHistory>& histories, const HistoryWindow& window,
                           const HistoryLayout& layout, const OutputStyle& style) {
  HistoryShown result;
  result.chart.from = window.from;
  result.chart.to = window.to;
  result.chart.utc = style.utc;
  std::string title;
  for (const FieldHistory& history : histories) title += (title.empty() ? "" : ", ") + history.field.FullName();
  result.chart.title = title;
  if (layout.everyTicks) {
    ShowSummaries(histories, window, layout, style, result);
  } else if (layout.alignTicks) {
    ShowAligned(histories, window, layout, style, result);
  } else {
    ShowValues(histories, window, style, result);
  }
  for (const FieldHistory& history : histories) {
    if (const auto cut = CutAt(history)) {
      result.notes.push_back(CutNote(history.field.FullName(), window.max, *cut, style.utc));
    }
  }
  if (!result.notes.empty() && style.format == Format::kText) {
    for (const auto& note : result.notes) result.shown.footer += (result.shown.footer.empty() ? "" : "\n") + note;
    result.notes.clear();
  }
  return result;
}

}  // namespace vantrel::cli
