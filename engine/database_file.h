// Loading and saving database files (the format is described in
// engine/FORMAT.md). Loading validates everything and reports the first
// problem as a DatabaseError naming the file, the JSON path and what is
// wrong; saving writes a temporary file in the same folder, flushes it to
// disk and renames it over the target. Thread-compatible: the caller holds
// the data lock that protects the Database.
#ifndef VANTREL_ENGINE_DATABASE_FILE_H_
#define VANTREL_ENGINE_DATABASE_FILE_H_

#include <memory>
#include <string>
#include <string_view>

#include "engine/database.h"

namespace dorvik {

// Reads and builds the database of a file; its path and folder are set.
std::unique_ptr<Database> LoadDatabaseFile(const std::string& path);
// Builds a database from JSON text; origin names the text in errors.
std::unique_ptr<Database> ParseDatabase(std::string_view text, std::string_view origin);
// The JSON text of a database.
std::string SerializeDatabase(const Database& database);
// Writes the database to path atomically. Throws DatabaseError.
void SaveDatabaseFile(const Database& database, const std::string& path);

}  // namespace dorvik

#endif  // VANTREL_ENGINE_DATABASE_FILE_H_
