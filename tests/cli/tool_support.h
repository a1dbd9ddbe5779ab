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

}  // namespace vantrel::testing

#endif  // VANTREL_TESTS_CLI_TOOL_SUPPORT_H_
