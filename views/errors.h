// The exit codes of vntaccess and the errors that lead to them. Every
// command ends with exactly one code of kExitCodes; help, the man page and
// the README show that table. A command either did everything it reports,
// or it says exactly what it did (kPartlyDone), or it did nothing and says
// why in one line.
#ifndef VANTREL_VIEWS_ERRORS_H_
#define VANTREL_VIEWS_ERRORS_H_

#include <array>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vantrel::cli {

enum class ExitCode : int {
  kDone = 0,
  kServiceFault = 1,
  kUsage = 2,
  kDatabaseUnavailable = 3,
  kNotFound = 4,
  kPartlyDone = 5,
};

struct ExitCodeMeaning {
  ExitCode code;
  std::string_view meaning;
};

inline constexpr std::array<ExitCodeMeaning, 6> kExitCodes{{
    {ExitCode::kDone, "done: everything the command reports happened"},
    {ExitCode::kServiceFault, "the database or the library refused or failed an operation, or could not keep a change"},
    {ExitCode::kUsage, "the command line is wrong (unknown option, bad number, time or value); nothing was done"},
    {ExitCode::kDatabaseUnavailable, "the database cannot be opened"},
    {ExitCode::kNotFound, "a record, field, definition or variable named does not exist; nothing was done"},
    {ExitCode::kPartlyDone, "part of what was asked was done; the report says exactly which part"},
}};

// A command line or typed value that is wrong; found before anything was done.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A name that resolves to nothing; found before anything was done.
class NotFoundError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The database named cannot be opened or attached.
class DatabaseUnavailableError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_ERRORS_H_
