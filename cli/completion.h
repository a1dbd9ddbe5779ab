// Completion of what is being typed: commands, options, option values,
// record, definition and field names, a selector's texts. One engine serves
// the shell's tab key and bash and zsh, whose scripts (`vntaccess
// completion bash`) ask the tool itself: `vntaccess __complete INDEX
// WORD...` prints the candidates for WORD[INDEX], one per line.
#ifndef VANTREL_CLI_COMPLETION_H_
#define VANTREL_CLI_COMPLETION_H_

#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>


namespace vantrel::cli {

class NameCatalog;
class ToolAccess;

inline constexpr std::string_view kCompleteCommand = "__complete";

// The names completion takes from a database.
class CompletionNames {
 public:
  virtual ~CompletionNames() = default;
  virtual std::vector<std::string> Records() = 0;
  virtual std::vector<std::string> Definitions() = 0;
  virtual std::vector<std::string> Fields(const std::string& record) = 0;
  // The texts of a selector field; empty for other fields.
  virtual std::vector<std::string> Values(const std::string& record, const std::string& field) = 0;
};

// Names from the attached database; unknown names give nothing.
class DatabaseNames : public CompletionNames {
 public:
  explicit DatabaseNames(NameCatalog& catalog);
  ~DatabaseNames() override;
  std::vector<std::string> Records() override;
  std::vector<std::string> Definitions() override;
  std::vector<std::string> Fields(const std::string& record) override;
  std::vector<std::string> Values(const std::string& record, const std::string& field) override;

 private:
  ToolAccess& Access();

  NameCatalog& catalog_;
  std::unique_ptr<ToolAccess> access_;
};

// The completions of words[index] given the words before it (words start
// after the program name). names may be null: no database names then.
std::vector<std::string> Complete(const std::vector<std::string>& words, std::size_t index, CompletionNames* names);

// `vntaccess __complete INDEX WORD...` as the scripts call it (INDEX counts
// the program name); prints the candidates. Returns the exit code.
int RunCompletionRequest(const std::vector<std::string>& args, std::ostream& out);

// The completion script for "bash" or "zsh"; throws UsageError otherwise.
std::string CompletionScript(std::string_view shell);

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_COMPLETION_H_
