#include "tests/cli/tool_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace vantrel::testing {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The child's environment: ours without DORVIK_DATABASE, TZ fixed, and the
// test's own variables.
std::vector<std::string> ChildEnvironment(const std::map<std::string, std::string>& extra) {
  std::map<std::string, std::string> variables{{"TZ", "Europe/Paris"}, {"VNTACCESS_HISTORY", ""}};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const auto equals = text.find('=');
    if (equals == std::string::npos) continue;
    const std::string name = text.substr(0, equals);
    if (name != "DORVIK_DATABASE" && name != "TZ") variables.emplace(name, text.substr(equals + 1));
  }
  for (const auto& [name, value] : extra) variables[name] = value;
  std::vector<std::string> environment;
  for (const auto& [name, value] : variables) environment.push_back(name + "=" + value);
  return environment;
}

[[noreturn]] void ExecChild(const std::vector<std::string>& args, const ToolOptions& options, int in, int out,
                            int err) {
  ::dup2(in, STDIN_FILENO);
  ::dup2(out, STDOUT_FILENO);
  ::dup2(err, STDERR_FILENO);
  if (options.fileSizeLimit) {
    ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
    const rlimit limit{static_cast<rlim_t>(*options.fileSizeLimit), static_cast<rlim_t>(*options.fileSizeLimit)};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  std::vector<std::string> environment = ChildEnvironment(options.env);
  std::vector<char*> argv{const_cast<char*>(VNTACCESS_PATH)};
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  ::execve(VNTACCESS_PATH, argv.data(), envp.data());
  ::_exit(127);
}

}  // namespace

PlantCopy::PlantCopy() {
  std::string pattern = (fs::temp_directory_path() / "vntaccess-test.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary folder");
  folder_ = pattern;
  const fs::path examples = VANTREL_EXAMPLES_DIR;
  fs::copy_file(examples / "plant.json", folder_ / "plant.json");
  fs::copy(examples / "queries", folder_ / "queries", fs::copy_options::recursive);
  path_ = (folder_ / "plant.json").string();
}

PlantCopy::~PlantCopy() {
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

std::string PlantCopy::Contents() const { return ReadFile(path_); }

ToolRun RunTool(const std::vector<std::string>& args, const ToolOptions& options) {
  int in[2], out[2], err[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    ExecChild(args, options, in[0], out[1], err[1]);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  // Standard input is small: written at once, then closed. A child that
  // ends without reading it must not end the test with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  for (std::size_t written = 0; written < options.input.size();) {
    const ssize_t n = ::write(in[1], options.input.data() + written, options.input.size() - written);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  ::close(in[1]);
  ToolRun run;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* into[2] = {&run.out, &run.err};
  int open = 2;
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        into[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

ToolRun RunOn(const PlantCopy& db, std::vector<std::string> args, const ToolOptions& options) {
  args.insert(args.begin(), {"--database", db.Path()});
  return RunTool(args, options);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

}  // namespace vantrel::testing
