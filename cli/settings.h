// The user's own defaults for vntaccess and the time zone it shows and
// reads times in.
//
// The settings file is ~/.config/vntaccess/config ($XDG_CONFIG_HOME when
// set), an INI file read with CLI11's reader; every key is optional:
//
//   database = /srv/plant.db    # when neither --database nor DORVIK_DATABASE names one
//   tz = Europe/Berlin          # when neither --tz nor VNTACCESS_TZ names one
//   output = json               # text, json or csv, when no --json, --csv or --text is given
//   utc = true                  # as --utc
//
// An unknown key or value is an error that names the file and the key, so
// that a typo is never silently ignored. The zone is the process's (TZ), set
// once before any time is parsed. Not thread-safe: called by main() alone.
#ifndef VANTREL_CLI_SETTINGS_H_
#define VANTREL_CLI_SETTINGS_H_

#include <optional>
#include <string>
#include <vector>

#include "cli/command.h"

namespace vantrel::cli {

struct UserSettings {
  std::string file;  // where they were read from; empty when there is no file
  std::optional<std::string> database;
  std::optional<std::string> timeZone;
  std::optional<Format> format;
  bool utc = false;
};

// The settings file's path; empty when neither XDG_CONFIG_HOME nor HOME is set.
std::string SettingsPath();

// The settings of SettingsPath(); none when the file does not exist. Throws
// UsageError for a file that cannot be read or holds an unknown key or value.
UserSettings ReadUserSettings();

// The zone the command line names (--tz ZONE or --tz=ZONE), else
// VNTACCESS_TZ, else the settings' zone, made the process's local zone.
// Nothing changes when none names one (TZ stays). Throws UsageError for a
// zone that the system's time zone data does not have.
void ChooseTimeZone(const std::vector<std::string>& args, const UserSettings& settings);

// Checks that zone names a zone of the system's time zone data (tzdata)
// and makes it the process's local zone. Throws UsageError otherwise.
void UseTimeZone(const std::string& zone);

// What the settings give to options the command line left unset.
void ApplyUserSettings(GlobalOptions& global, const UserSettings& settings);

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_SETTINGS_H_
