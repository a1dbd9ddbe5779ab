// JSON database files, the human-readable interchange format (FORMAT.md):
// streaming import into a new store and export of a store. Both throw
// DatabaseError naming the file (and, for an import, the JSON path) and
// what is wrong.
#ifndef VANTREL_ENGINE_JSON_FILES_H_
#define VANTREL_ENGINE_JSON_FILES_H_

#include <string>

#include "engine/database_error.h"
#include "engine/open_options.h"
#include "engine/store.h"
#include "engine/view.h"

namespace dorvik {

// Builds a new database at storePath from the JSON file: in a temporary
// folder beside it, renamed into place once whole and on disk. A file
// written by the exporter (catalog first, every entry with its id) streams
// in one pass, its memory bounded by one record or chunk of history; any
// other file is read whole first.
void ImportJsonFile(const std::string& jsonPath, const std::string& storePath, const OpenOptions& options = {});
// Writes view's database to jsonPath (see ExportDatabase).
void ExportJsonFile(const View& view, const std::string& jsonPath);

}  // namespace dorvik

#endif  // VANTREL_ENGINE_JSON_FILES_H_
