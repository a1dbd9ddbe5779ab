// RecordNames: the record and definition names a command is given, resolved
// before anything is called, as the database spells them. Names that do not
// resolve are collected; Require() then ends the command with one
// NotFoundError that names them all, with a suggestion for likely typos:
//
//   RecordNames names(context.Access(), context.Catalog());
//   for (const auto& name : args.names) names.Record(name);
//   names.Require();  // there is no record TI999; there is no record P1O1 (did you mean P101?)
//
// Used by one thread, with the services it is given.
#ifndef VANTREL_VIEWS_RECORD_NAMES_H_
#define VANTREL_VIEWS_RECORD_NAMES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::cli {

class NameCatalog;
class ToolAccess;

// The name of record id as the database spells it, decoded from the code
// page (the library's names keep ASCII only); empty when there is no such
// record. The tool shows every record name it prints through this. Needs an
// attached database.
std::string RecordNameOf(int32_t id);

struct NamedRecord {
  int32_t id = 0;
  std::string name;  // as the database spells it
  int32_t definitionId = 0;
  std::string definition;  // the name of its definition (its own, for a definition record)

  bool IsDefinition() const { return id == definitionId; }
};

class RecordNames {
 public:
  RecordNames(ToolAccess& access, NameCatalog& catalog) : access_(access), catalog_(catalog) {}

  // A record or a definition record; nothing (and the problem noted) when no
  // record has that name.
  std::optional<NamedRecord> Record(const std::string& name);
  // A definition record; a record of a definition is a problem too.
  std::optional<NamedRecord> Definition(const std::string& name);
  // Throws NotFoundError naming every problem noted, if any.
  void Require() const;

 private:
  ToolAccess& access_;
  NameCatalog& catalog_;
  std::vector<std::string> problems_;
};

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_RECORD_NAMES_H_
