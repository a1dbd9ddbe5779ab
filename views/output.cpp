#include "views/output.h"

#include <algorithm>
#include <cstdlib>

#include <fmt/format.h>

#include "platform/codepage.h"
#include "platform/time_zone.h"

namespace vantrel::cli {
namespace {

using contracts::DateTime;
using contracts::DateTimeKind;

DateTime AsUtc(const DateTime& time) {
  if (time.Kind() == DateTimeKind::Utc) return time;
  return platform::ToUniversalTime(time).WithKind(DateTimeKind::Utc);
}

std::string DateAndTime(const DateTime& time, char separator) {
  return fmt::format("{:04}-{:02}-{:02}{}{:02}:{:02}:{:02}.{:03}", time.Year(), time.Month(), time.Day(), separator,
                     time.Hour(), time.Minute(), time.Second(), time.Millisecond());
}

bool IsEmpty(const Cell& cell) {
  const auto* text = std::get_if<std::string>(&cell);
  return text != nullptr && text->empty();
}

std::string CellText(const Cell& cell, bool utc) {
  if (const auto* time = std::get_if<DateTime>(&cell)) return TextTime(*time, utc);
  return std::get<std::string>(cell);
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

}  // namespace

void AppendDistinct(Json& object, std::string key, Json value) {
  if (!object.is_object()) object = Json::object();
  auto& members = object.get_ref<Json::object_t&>();
  static_cast<Json::object_t::Container&>(members).emplace_back(std::move(key), std::move(value));
}

namespace {

// A local time with its offset from UTC, so that the hour a daylight-saving
// change repeats is told apart: "2024-10-27 02:30:00.000+02:00".
std::string LocalWithOffset(const DateTime& instant, char separator) {
  const DateTime local = platform::ToLocalTime(instant);
  const int64_t offsetMinutes = (local.Ticks() - instant.Ticks()) / (60 * DateTime::kTicksPerSecond);
  return fmt::format("{}{}{:02}:{:02}", DateAndTime(local, separator), offsetMinutes < 0 ? '-' : '+',
                     std::abs(offsetMinutes) / 60, std::abs(offsetMinutes) % 60);
}

}  // namespace

std::string TextTime(const DateTime& time, bool utc) {
  const DateTime instant = AsUtc(time);
  if (utc) return DateAndTime(instant, ' ') + "Z";
  return LocalWithOffset(instant, ' ');
}

std::string IsoTime(const DateTime& time, bool utc) {
  const DateTime instant = AsUtc(time);
  if (utc) return DateAndTime(instant, 'T') + "Z";
  return LocalWithOffset(instant, 'T');
}

std::string JsonTime(const DateTime& time) {
  const DateTime instant = AsUtc(time);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", instant.Year(), instant.Month(), instant.Day(),
                     instant.Hour(), instant.Minute(), instant.Second());
}

int64_t EpochMilliseconds(const DateTime& time) {
  const int64_t ticks = AsUtc(time).Ticks() - DateTime::kUnixEpochTicks;
  // Floor, so that instants before 1970 round towards the past as well.
  const int64_t quotient = ticks / DateTime::kTicksPerMillisecond;
  return ticks % DateTime::kTicksPerMillisecond < 0 ? quotient - 1 : quotient;
}

void WriteTextTable(std::ostream& out, const Table& table, bool utc) {
  if (table.rows.empty()) {
    out << "(no rows)\n";
    return;
  }
  std::vector<std::size_t> shown;
  for (std::size_t c = 0; c < table.columns.size(); ++c) {
    const bool filled = std::any_of(table.rows.begin(), table.rows.end(),
                                    [&](const auto& row) { return c < row.size() && !IsEmpty(row[c]); });
    if (filled) shown.push_back(c);
  }
  std::vector<std::vector<std::string>> lines;
  std::vector<std::size_t> widths(shown.size(), 0);
  auto add = [&](std::vector<std::string> line) {
    for (std::size_t i = 0; i < line.size(); ++i) widths[i] = std::max(widths[i], platform::CharacterCount(line[i]));
    lines.push_back(std::move(line));
  };
  std::vector<std::string> header;
  for (std::size_t c : shown) header.push_back(table.columns[c].name);
  add(header);
  for (const auto& row : table.rows) {
    std::vector<std::string> line;
    for (std::size_t c : shown) line.push_back(c < row.size() ? CellText(row[c], utc) : "");
    add(std::move(line));
  }
  auto write = [&](const std::vector<std::string>& line) {
    std::string text;
    for (std::size_t i = 0; i < line.size(); ++i) {
      const std::string padding(widths[i] - platform::CharacterCount(line[i]), ' ');
      const bool right = table.columns[shown[i]].alignRight;
      text += (i == 0 ? "" : "  ") + (right ? padding + line[i] : line[i] + padding);
    }
    out << platform::TrimEnd(text) << "\n";
  };
  write(lines.front());
  std::vector<std::string> rule;
  for (std::size_t width : widths) rule.emplace_back(width, '-');
  write(rule);
  for (std::size_t i = 1; i < lines.size(); ++i) write(lines[i]);
}

void WriteCsvRow(std::ostream& out, const std::vector<Cell>& cells, bool utc) {
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const auto* time = std::get_if<DateTime>(&cells[i]);
    out << (i == 0 ? "" : ",") << CsvField(time != nullptr ? IsoTime(*time, utc) : std::get<std::string>(cells[i]));
  }
  out << "\n";
}

void WriteCsvTable(std::ostream& out, const Table& table, bool utc) {
  std::vector<Cell> header;
  for (const auto& column : table.columns) header.emplace_back(column.name);
  WriteCsvRow(out, header, utc);
  for (const auto& row : table.rows) WriteCsvRow(out, row, utc);
}

void Output::Show(const Shown& shown) {
  switch (style_.format) {
    case Format::kJson: out_ << shown.json.dump(2) << "\n"; break;
    case Format::kCsv: WriteCsvTable(out_, shown.table, style_.utc); break;
    case Format::kText:
      if (!shown.caption.empty()) out_ << shown.caption << "\n";
      if (!shown.sentence.empty()) {
        out_ << shown.sentence << "\n";
      } else {
        WriteTextTable(out_, shown.table, style_.utc);
      }
      if (!shown.footer.empty()) out_ << shown.footer << "\n";
      break;
  }
  out_.flush();
}

void Output::Note(std::string_view text) {
  out_.flush();
  err_ << text << "\n";
}

RowStream::RowStream(Output& output, std::vector<Column> columns) : output_(output), columns_(std::move(columns)) {
  for (const Column& column : columns_) widths_.push_back(platform::CharacterCount(column.name));
}

void RowStream::WriteTextLine(const std::vector<std::string>& cells) {
  std::string line;
  for (std::size_t i = 0; i < cells.size() && i < columns_.size(); ++i) {
    widths_[i] = std::max(widths_[i], platform::CharacterCount(cells[i]));
    const std::string padding(widths_[i] - platform::CharacterCount(cells[i]), ' ');
    line += (i == 0 ? "" : "  ") + (columns_[i].alignRight ? padding + cells[i] : cells[i] + padding);
  }
  output_.Stream() << platform::TrimEnd(line) << "\n";
}

void RowStream::Add(const std::vector<Cell>& row, const Json& json) {
  std::ostream& out = output_.Stream();
  const bool utc = output_.Style().utc;
  switch (output_.Style().format) {
    case Format::kJson: out << json.dump() << "\n"; break;
    case Format::kCsv:
      if (!started_) {
        std::vector<Cell> header;
        for (const auto& column : columns_) header.emplace_back(column.name);
        WriteCsvRow(out, header, utc);
      }
      WriteCsvRow(out, row, utc);
      break;
    case Format::kText: {
      std::vector<std::string> cells;
      for (const Cell& cell : row) cells.push_back(CellText(cell, utc));
      if (!started_) {
        // The header as wide as the first row.
        for (std::size_t i = 0; i < cells.size() && i < widths_.size(); ++i) {
          widths_[i] = std::max(widths_[i], platform::CharacterCount(cells[i]));
        }
        std::vector<std::string> header;
        for (const auto& column : columns_) header.push_back(column.name);
        WriteTextLine(header);
      }
      WriteTextLine(cells);
      break;
    }
  }
  started_ = true;
  out.flush();
}

}  // namespace vantrel::cli
