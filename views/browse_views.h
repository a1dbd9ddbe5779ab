// The views of the database's configuration that the definitions, records
// and fields commands show, and that the host serves as JSON on GET
// /v1/definitions, /v1/records and /v1/fields. They change nothing.
//
//   definitions  every definition record with its id and numbers of records
//                and fields; JSON {NAME: {"id", "records", "fields"}}
//   records      the records of a definition (or of a record's definition),
//                optionally only names matching patterns (name_pattern.h);
//                JSON {"definition", "records": {NAME: {"id", "usable"}}}
//   fields       what a definition defines, with a record's own selectors
//                when named by a record; JSON {"definition", "fields":
//                {NAME: {...}}, "record" (named by a record)}
//
// A name that resolves to nothing throws NotFoundError with suggestions.
#ifndef VANTREL_VIEWS_BROWSE_VIEWS_H_
#define VANTREL_VIEWS_BROWSE_VIEWS_H_

#include <string>
#include <vector>

#include "contracts/selectors.h"
#include "views/output.h"
#include "views/view_sources.h"

namespace vantrel::cli {

Shown DefinitionsView(ViewSources& sources);
Shown RecordsView(const std::string& name, const std::vector<std::string>& patterns, ViewSources& sources);
Shown FieldsView(const std::string& name, ViewSources& sources);

// Selector texts as JSON, keyed by number: {"0": "OFF", "1": "ON"}.
Json SelectorJson(const contracts::Selectors& selectors);

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_BROWSE_VIEWS_H_
