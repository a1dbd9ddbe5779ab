// Running the built vntaccess in a child process on a database of its own,
// for the tests of the tool as a user meets it.
#ifndef VANTREL_TESTS_CLI_TOOL_SUPPORT_H_
#define VANTREL_TESTS_CLI_TOOL_SUPPORT_H_

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::testing {

// A database for one test: the sample plant (examples/plant.json) imported
// by the tool into a temporary folder, next to a copy of its query files,
// removed at the end. This is the one place a test database is made.
class PlantCopy {
 public:
  PlantCopy();
  ~PlantCopy();
  PlantCopy(const PlantCopy&) = delete;
  PlantCopy& operator=(const PlantCopy&) = delete;

  // What --database names.
  const std::string& Path() const { return path_; }
  const std::filesystem::path& Folder() const { return folder_; }
  // The database as the tool exports it, to show that nothing was written.
  std::string Contents() const;

 private:
  std::filesystem::path folder_;
  std::string path_;
};

struct ToolRun {
  int code = -1;  // exit code, or 128 + signal
  std::string out;
  std::string err;
};

struct ToolOptions {
  std::string input{};                       // standard input
  std::map<std::string, std::string> env{};  // set in the child (TZ is Europe/Paris unless given)
  std::optional<long> fileSizeLimit{};       // RLIMIT_FSIZE in bytes, SIGXFSZ ignored
  bool fileSizeSignalIgnored = true;         // false: SIGXFSZ keeps its default action in the child
};

// The exit codes of vntaccess.
inline constexpr int kDone = 0, kServiceFault = 1, kUsage = 2, kDatabaseUnavailable = 3, kNotFound = 4,
                     kPartlyDone = 5;

// vntaccess running in a child process while a test talks to it: its
// standard input gets options.input and is closed; what it prints is
// collected as it comes.
class ToolProcess {
 public:
  explicit ToolProcess(const std::vector<std::string>& args, const ToolOptions& options = {});
  // Kills a child that is still running.
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  // Reads until standard output (or error) holds text; false after ten
  // seconds or when the child closed it first.
  bool WaitForOutput(const std::string& text);
  bool WaitForError(const std::string& text);
  void Signal(int signal);
  // Reads everything until the child closes both, and waits for its end.
  ToolRun Wait();

 private:
  // Reads what is there, waiting at most timeoutMs; false when nothing is open.
  bool ReadSome(int timeoutMs);
  bool WaitFor(const std::string& text, const std::string& from);

  int child_ = -1;
  int fds_[2] = {-1, -1};  // standard output and error, -1 once closed
  ToolRun run_;
};

// Runs vntaccess with args (without the program name) and waits for it.
ToolRun RunTool(const std::vector<std::string>& args, const ToolOptions& options = {});

// The same with "--database DB" in front.
ToolRun RunOn(const PlantCopy& db, std::vector<std::string> args, const ToolOptions& options = {});

// One step of a terminal session: type text, then wait until the screen
// shows expect (after what earlier steps waited for).
struct TerminalStep {
  std::string type;
  std::string expect;
};

// Runs vntaccess on a pseudo-terminal through steps, the last of which ends
// it ("quit"), and waits until it closed the terminal. out is everything the
// terminal showed; code is -2 when a step waited in vain (the child is then
// killed).
ToolRun RunInTerminal(const std::vector<std::string>& args, const std::vector<TerminalStep>& steps,
                      const ToolOptions& options = {});

// The lines of text, without their line ends.
std::vector<std::string> Lines(const std::string& text);

// Checks a run that did nothing: the code, one line on standard error that
// holds message, nothing on standard output.
void ExpectRefused(const ToolRun& run, int code, const std::string& message);

}  // namespace vantrel::testing

#endif  // VANTREL_TESTS_CLI_TOOL_SUPPORT_H_
