// How vntaccess shows results. A command builds what it shows once, as a
// Shown: a table (for the text and CSV forms), the same content as plain
// JSON, and optionally a sentence that stands for the table in text form
// ("wrote 1 value to TI101 VALUE"). Output writes it in the format the user
// chose:
//
//   text   aligned columns in the requested order; columns whose cells are
//          all empty are left out; times local with their offset (or UTC
//          with --utc) to the millisecond: "2024-03-07 01:00:00.000+01:00"
//          ("...Z" in UTC)
//   --csv  RFC 4180 quoting, a header row and every column, lines ending
//          in LF; ISO-8601 times with their offset:
//          "2024-03-07T01:00:00.000+01:00"
//   --json the plain JSON, keyed by names; times are UTC to the second as
//          jq's fromdate reads them, "2024-03-07T00:00:00Z", with the exact
//          instant in milliseconds since 1970 beside them ("timeMs")
//
// Notes go to standard error, so that standard output stays the result.
// An Output is used by one thread.
#ifndef VANTREL_VIEWS_OUTPUT_H_
#define VANTREL_VIEWS_OUTPUT_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "contracts/date_time.h"
#include "contracts/json.h"

namespace vantrel::cli {

using contracts::Json;

enum class Format { kText, kJson, kCsv };

struct OutputStyle {
  Format format = Format::kText;
  bool utc = false;       // --utc: text and CSV times in UTC
  bool terminal = false;  // standard output is a terminal (sparklines, colour-free still)
};

// A cell: text, or an instant that each format writes its own way.
using Cell = std::variant<std::string, contracts::DateTime>;

struct Column {
  std::string name;
  bool alignRight = false;
};

struct Table {
  std::vector<Column> columns;
  std::vector<std::vector<Cell>> rows;
};

struct Shown {
  Table table;
  Json json;
  std::string caption;   // text form only: a line above the table
  std::string sentence;  // text form only: replaces the table
  std::string footer;    // text form only: a line below the table
};

// Appends a member to a JSON object whose keys the caller knows to be
// distinct (the names of one listing), without the search for an existing
// key that Json's operator[] makes member by member: a listing of n names
// takes time linear in n, not quadratic.
void AppendDistinct(Json& object, std::string key, Json value);

// Time texts of the three forms.
std::string TextTime(const contracts::DateTime& time, bool utc);  // "2024-03-07 01:00:00.000+01:00"
std::string IsoTime(const contracts::DateTime& time, bool utc);   // "2024-03-07T01:00:00.000+01:00"
std::string JsonTime(const contracts::DateTime& time);            // "2024-03-07T00:00:00Z"
int64_t EpochMilliseconds(const contracts::DateTime& time);

// Writes rows as aligned text, leaving out columns without any non-empty cell.
void WriteTextTable(std::ostream& out, const Table& table, bool utc);
void WriteCsvTable(std::ostream& out, const Table& table, bool utc);
// One CSV line of cells (times ISO-8601 with their offset).
void WriteCsvRow(std::ostream& out, const std::vector<Cell>& cells, bool utc);

class Output {
 public:
  Output(std::ostream& out, std::ostream& err, OutputStyle style) : out_(out), err_(err), style_(style) {}

  const OutputStyle& Style() const { return style_; }
  std::ostream& Stream() { return out_; }

  void Show(const Shown& shown);
  // A line on standard error that is not the result ("showing the first 100 values").
  void Note(std::string_view text);

 private:
  std::ostream& out_;
  std::ostream& err_;
  OutputStyle style_;
};

// Rows shown one at a time, as they happen (a command that runs until it is
// stopped), each flushed at once: text lines under a header, each column as
// wide as its header, the first row or the widest cell since; CSV with its
// header; or one compact JSON object per line (JSON Lines). Headers come
// with the first row. Used by one thread.
class RowStream {
 public:
  RowStream(Output& output, std::vector<Column> columns);

  void Add(const std::vector<Cell>& row, const Json& json);

 private:
  void WriteTextLine(const std::vector<std::string>& cells);

  Output& output_;
  std::vector<Column> columns_;
  std::vector<std::size_t> widths_;
  bool started_ = false;
};

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_OUTPUT_H_
