#include "host/live/chart_decimation.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <variant>

#include <fmt/format.h>

#include "platform/exceptions.h"

namespace vantrel::host::live {
namespace {

using contracts::TagValue;

// The number a chart draws for a value, or none for a gap: no value, a text,
// a pointer or a number that is not finite.
std::optional<double> Plotted(const contracts::Value& value) {
  double number = 0;
  switch (value.index()) {
    case 1: number = std::get<bool>(value) ? 1.0 : 0.0; break;
    case 2: number = std::get<int16_t>(value); break;
    case 3: number = std::get<int32_t>(value); break;
    case 4: number = static_cast<double>(std::get<int64_t>(value)); break;
    case 5: number = std::get<float>(value); break;
    case 6: number = std::get<double>(value); break;
    default: return std::nullopt;
  }
  if (!std::isfinite(number)) return std::nullopt;
  return number;
}

// Maps a time to its pixel column; kOutside for a time outside the interval.
class ColumnMap {
 public:
  static constexpr int64_t kOutside = -1;

  explicit ColumnMap(const ChartWindow& window)
      : low_(std::min(window.from.Ticks(), window.to.Ticks())),
        high_(std::max(window.from.Ticks(), window.to.Ticks())),
        columns_(window.columns),
        scale_(high_ > low_ ? static_cast<double>(window.columns) / static_cast<double>(high_ - low_) : 0.0) {}

  int64_t Column(int64_t ticks) const {
    if (ticks < low_ || ticks > high_) return kOutside;
    const auto column = static_cast<int64_t>(static_cast<double>(ticks - low_) * scale_);
    return std::min<int64_t>(column, columns_ - 1);  // the interval's end belongs to the last column
  }

 private:
  int64_t low_;
  int64_t high_;
  int64_t columns_;
  double scale_;
};

// One run of values in a column with the same quality and kind (number or
// gap): where it starts and ends and where its extremes are.
struct Run {
  int64_t column = ColumnMap::kOutside;
  int32_t status = 0;
  int32_t level = 0;
  bool numeric = false;
  std::size_t first = 0;
  std::size_t last = 0;
  std::size_t lowest = 0;
  std::size_t highest = 0;
  double low = 0;
  double high = 0;

  bool Continues(int64_t atColumn, const TagValue& value, bool isNumber) const {
    return atColumn == column && value.Status == status && value.Level == level && isNumber == numeric;
  }
};

// Appends the run's kept positions in ascending order, each once.
void Keep(const Run& run, std::vector<std::size_t>& kept) {
  std::array<std::size_t, 4> positions{run.first, run.lowest, run.highest, run.last};
  std::size_t count = positions.size();
  if (!run.numeric) {
    positions = {run.first, run.last, run.last, run.last};
    count = 2;
  }
  std::sort(positions.begin(), positions.begin() + static_cast<std::ptrdiff_t>(count));
  for (std::size_t i = 0; i < count; ++i) {
    if (kept.empty() || kept.back() != positions[i]) kept.push_back(positions[i]);
  }
}

}  // namespace

std::vector<std::size_t> DecimateForChart(std::span<const contracts::TagValue> series, const ChartWindow& window) {
  if (window.columns < 1 || window.columns > ChartWindow::kMaxColumns) {
    throw platform::ArgumentException(
        fmt::format("points must be between 1 and {}, not {}", ChartWindow::kMaxColumns, window.columns));
  }
  const ColumnMap columns(window);
  std::vector<std::size_t> kept;
  kept.reserve(std::min<std::size_t>(series.size(), static_cast<std::size_t>(window.columns) * 4 + 8));
  std::optional<Run> run;
  for (std::size_t i = 0; i < series.size(); ++i) {
    const TagValue& value = series[i];
    const int64_t column = columns.Column(value.Timestamp.Ticks());
    const std::optional<double> number = Plotted(value.Value);
    if (run && column != ColumnMap::kOutside && run->Continues(column, value, number.has_value())) {
      run->last = i;
      if (number && *number < run->low) run->low = *number, run->lowest = i;
      if (number && *number > run->high) run->high = *number, run->highest = i;
      continue;
    }
    if (run) Keep(*run, kept);
    run.reset();
    if (column == ColumnMap::kOutside) {
      kept.push_back(i);  // an outsider stays as it is
      continue;
    }
    const double start = number.value_or(0.0);
    run = Run{column, value.Status, value.Level, number.has_value(), i, i, i, i, start, start};
  }
  if (run) Keep(*run, kept);
  return kept;
}

contracts::TagValues DecimateSeries(std::span<const contracts::TagValue> series, const ChartWindow& window) {
  const std::vector<std::size_t> kept = DecimateForChart(series, window);
  contracts::TagValues shown;
  shown.reserve(kept.size());
  for (std::size_t position : kept) shown.push_back(series[position]);
  return shown;
}

}  // namespace vantrel::host::live
