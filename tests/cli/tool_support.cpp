#include "tests/cli/tool_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

// The child's environment: ours without DORVIK_DATABASE, TZ fixed, no
// zone of VNTACCESS_TZ and no settings file of the user's, and the test's
// own variables.
std::vector<std::string> ChildEnvironment(const std::map<std::string, std::string>& extra) {
  std::map<std::string, std::string> variables{{"TZ", "Europe/Paris"},
                                               {"VNTACCESS_HISTORY", ""},
                                               {"VNTACCESS_TZ", ""},
                                               {"XDG_CONFIG_HOME", "/dev/null/no-settings"}};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const auto equals = text.find('=');
    if (equals == std::string::npos) continue;
    const std::string name = text.substr(0, equals);
    if (name != "DORVIK_DATABASE" && name != "TZ" && name != "VNTACCESS_TZ" && name != "XDG_CONFIG_HOME") {
      variables.emplace(name, text.substr(equals + 1));
    }
  }
  for (const auto& [name, value] : extra) variables[name] = value;
  std::vector<std::string> environment;
  for (const auto& [name, value] : variables) environment.push_back(name + "=" + value);
  return environment;
}

// In the child: the limits and environment of options, then vntaccess.
[[noreturn]] void Exec(const std::vector<std::string>& args, const ToolOptions& options) {
  if (options.fileSizeLimit) {
    // A write past the limit fails with EFBIG instead (or, with the default
    // action, the tool must hold the signal off itself).
    ::signal(SIGXFSZ, options.fileSizeSignalIgnored ? SIG_IGN : SIG_DFL);
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

[[noreturn]] void ExecChild(const std::vector<std::string>& args, const ToolOptions& options, int in, int out,
                            int err) {
  ::dup2(in, STDIN_FILENO);
  ::dup2(out, STDOUT_FILENO);
  ::dup2(err, STDERR_FILENO);
  Exec(args, options);
}

int WaitForExit(pid_t child) {
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The text of terminal output without its control sequences (ESC [ ... X),
// as far as a test needs to read it.
std::string Visible(const std::string& output) {
  std::string text;
  for (std::size_t i = 0; i < output.size(); ++i) {
    if (output[i] == '\x1b' && i + 1 < output.size() && output[i + 1] == '[') {
      i += 2;
      while (i < output.size() && !(output[i] >= '@' && output[i] <= '~')) ++i;
    } else if (output[i] == '\b') {
      if (!text.empty()) text.pop_back();
    } else if (output[i] == '\n' || static_cast<unsigned char>(output[i]) >= 0x20) {
      text += output[i];  // other control characters (CR, BEL) move nothing a test reads
    }
  }
  return text;
}

// Reads from a terminal's master side until what it shows from `from` on
// holds expect; false after the timeout or at the end of output.
bool ReadUntil(int master, std::string& shown, std::size_t& from, const std::string& expect) {
  constexpr int kTimeoutMs = 10'000;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
  for (;;) {
    if (const auto found = Visible(shown).find(expect, from); found != std::string::npos) {
      from = found + expect.size();
      return true;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fd{master, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) return false;  // EIO: the child closed the terminal
    shown.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

PlantCopy::PlantCopy() {
  std::string pattern = (fs::temp_directory_path() / "vntaccess-test.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary folder");
  folder_ = pattern;
  const fs::path examples = VANTREL_EXAMPLES_DIR;
  fs::copy(examples / "queries", folder_ / "queries", fs::copy_options::recursive);
  path_ = (folder_ / "plant.db").string();
  const ToolRun import = RunTool({"import", (examples / "plant.json").string(), path_});
  if (import.code != 0) throw std::runtime_error("cannot import the sample plant: " + import.err);
}

PlantCopy::~PlantCopy() {
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

std::string PlantCopy::Contents() const {
  const fs::path exported = folder_ / "contents.json";
  const ToolRun run = RunTool({"export", path_, exported.string()});
  if (run.code != 0) throw std::runtime_error("cannot export the database: " + run.err);
  std::string contents = ReadFile(exported);
  fs::remove(exported);
  return contents;
}

ToolProcess::ToolProcess(const std::vector<std::string>& args, const ToolOptions& options) {
  int in[2], out[2], err[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) throw std::runtime_error("pipe failed");
  child_ = ::fork();
  if (child_ < 0) throw std::runtime_error("fork failed");
  if (child_ == 0) {
    ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    ExecChild(args, options, in[0], out[1], err[1]);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  fds_[0] = out[0];
  fds_[1] = err[0];
  // Standard input is small: written at once, then closed. A child that
  // ends without reading it must not end the test with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  for (std::size_t written = 0; written < options.input.size();) {
    const ssize_t n = ::write(in[1], options.input.data() + written, options.input.size() - written);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  ::close(in[1]);
}

ToolProcess::~ToolProcess() {
  for (int& fd : fds_) {
    if (fd >= 0) ::close(fd);
  }
  if (child_ > 0) {
    ::kill(child_, SIGKILL);
    WaitForExit(child_);
  }
}

bool ToolProcess::ReadSome(int timeoutMs) {
  pollfd polled[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
  if (fds_[0] < 0 && fds_[1] < 0) return false;
  if (::poll(polled, 2, timeoutMs) <= 0) return true;
  std::string* into[2] = {&run_.out, &run_.err};
  for (int i = 0; i < 2; ++i) {
    if (fds_[i] < 0 || polled[i].revents == 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(fds_[i], buffer, sizeof buffer);
    if (n > 0) {
      into[i]->append(buffer, static_cast<std::size_t>(n));
    } else {
      ::close(fds_[i]);
      fds_[i] = -1;
    }
  }
  return true;
}

bool ToolProcess::WaitFor(const std::string& text, const std::string& from) {
  constexpr auto kTimeout = std::chrono::seconds(10);
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  while (from.find(text) == std::string::npos) {
    const auto left = deadline - std::chrono::steady_clock::now();
    const auto leftMs = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
    if (leftMs <= 0 || !ReadSome(static_cast<int>(leftMs))) return false;
  }
  return true;
}

bool ToolProcess::WaitForOutput(const std::string& text) { return WaitFor(text, run_.out); }
bool ToolProcess::WaitForError(const std::string& text) { return WaitFor(text, run_.err); }

void ToolProcess::Signal(int signal) { ::kill(child_, signal); }

ToolRun ToolProcess::Wait() {
  while (ReadSome(-1)) {
  }
  run_.code = WaitForExit(child_);
  child_ = -1;
  return run_;
}

ToolRun RunTool(const std::vector<std::string>& args, const ToolOptions& options) {
  return ToolProcess(args, options).Wait();
}

ToolRun RunInTerminal(const std::vector<std::string>& args, const std::vector<TerminalStep>& steps,
                      const ToolOptions& options) {
  int master = -1;
  const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (child < 0) throw std::runtime_error("forkpty failed");
  if (child == 0) Exec(args, options);
  ToolRun run;
  std::size_t from = 0;
  for (const TerminalStep& step : steps) {
    if (!step.type.empty() && ::write(master, step.type.data(), step.type.size()) < 0) break;
    if (!ReadUntil(master, run.out, from, step.expect)) {
      ::kill(child, SIGKILL);
      WaitForExit(child);
      ::close(master);
      run.code = -2;
      run.err = "waited in vain for: " + step.expect;
      return run;
    }
  }
  // The last step ends the session; whatever it prints until it closes the
  // terminal is kept.
  ReadUntil(master, run.out, from, std::string(1, '\0'));
  ::close(master);
  run.code = WaitForExit(child);
  return run;
}

ToolRun RunOn(const PlantCopy& db, std::vector<std::string> args, const ToolOptions& options) {
  args.insert(args.begin(), {"--database", db.Path()});
  return RunTool(args, options);
}

void ExpectRefused(const ToolRun& run, int code, const std::string& message) {
  EXPECT_EQ(run.code, code) << run.out << run.err;
  EXPECT_THAT(run.out, ::testing::IsEmpty());
  EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
  EXPECT_THAT(run.err, ::testing::HasSubstr(message));
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

}  // namespace vantrel::testing
