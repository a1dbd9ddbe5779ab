#include "cli/settings.h"

#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "views/errors.h"
#include "views/text_compare.h"

namespace vantrel::cli {
namespace {

constexpr std::string_view kTimeZoneOption = "--tz";
constexpr std::string_view kTimeZoneVariable = "VNTACCESS_TZ";

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

// A zone name as tzdata spells them: letters, digits and _+-, parts
// separated by '/', none of them "." or "..", so that it cannot name a file
// outside the zone folder.
bool IsZoneName(const std::string& zone) {
  if (zone.empty() || zone.front() == '/' || zone.back() == '/') return false;
  const bool characters = std::all_of(zone.begin(), zone.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '+' || c == '-' || c == '/';
  });
  return characters && zone.find("//") == std::string::npos && zone.find("..") == std::string::npos;
}

// Whether the zone folder holds a compiled zone of that name (TZif data).
bool ZoneFileExists(const std::string& zone) {
  const std::string folder = Variable("TZDIR").empty() ? "/usr/share/zoneinfo" : Variable("TZDIR");
  std::ifstream file(std::filesystem::path(folder) / zone, std::ios::binary);
  char magic[4] = {};
  return file.read(magic, sizeof magic) && std::string_view(magic, sizeof magic) == "TZif";
}

Format ParseFormat(const std::string& text, const std::string& file) {
  if (EqualsIgnoringCase(text, "text")) return Format::kText;
  if (EqualsIgnoringCase(text, "json")) return Format::kJson;
  if (EqualsIgnoringCase(text, "csv")) return Format::kCsv;
  throw UsageError(fmt::format("{}: output = '{}' is not a form; use text, json or csv", file, text));
}

bool ParseTruth(const std::string& text, const std::string& key, const std::string& file) {
  if (text == "1" || EqualsIgnoringCase(text, "true")) return true;
  if (text == "0" || EqualsIgnoringCase(text, "false")) return false;
  throw UsageError(fmt::format("{}: {} = '{}' is not true or false", file, key, text));
}

void Take(UserSettings& settings, const CLI::ConfigItem& item) {
  const std::string key = item.fullname();
  if (item.inputs.size() != 1) throw UsageError(fmt::format("{}: {} needs one value", settings.file, key));
  const std::string& value = item.inputs.front();
  if (key == "database") {
    settings.database = value;
  } else if (key == "tz") {
    settings.timeZone = value;
  } else if (key == "output") {
    settings.format = ParseFormat(value, settings.file);
  } else if (key == "utc") {
    settings.utc = ParseTruth(value, key, settings.file);
  } else {
    throw UsageError(fmt::format("{}: unknown setting '{}'; settings: database, tz, output, utc", settings.file, key));
  }
}

// The value of --tz on the command line, if any (the last one counts).
std::optional<std::string> TimeZoneArgument(const std::vector<std::string>& args) {
  std::optional<std::string> zone;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") break;
    if (args[i] == kTimeZoneOption && i + 1 < args.size()) {
      zone = args[++i];
    } else if (args[i].rfind(std::string(kTimeZoneOption) + "=", 0) == 0) {
      zone = args[i].substr(kTimeZoneOption.size() + 1);
    }
  }
  return zone;
}

}  // namespace

std::string SettingsPath() {
  const std::string xdg = Variable("XDG_CONFIG_HOME");
  if (!xdg.empty()) return xdg + "/vntaccess/config";
  const std::string home = Variable("HOME");
  return home.empty() ? "" : home + "/.config/vntaccess/config";
}

UserSettings ReadUserSettings() {
  UserSettings settings;
  const std::string path = SettingsPath();
  std::error_code error;
  if (path.empty() || !std::filesystem::exists(path, error)) return settings;
  settings.file = path;
  std::vector<CLI::ConfigItem> items;
  try {
    items = CLI::ConfigINI().from_file(path);
  } catch (const CLI::Error& failure) {
    throw UsageError(fmt::format("{}: {}", path, failure.what()));
  }
  for (const CLI::ConfigItem& item : items) {
    if (item.name == "++" || item.name == "--") continue;  // the reader's marks of a [section]'s start and end
    Take(settings, item);
  }
  return settings;
}

void UseTimeZone(const std::string& zone) {
  if (zone != "UTC" && (!IsZoneName(zone) || !ZoneFileExists(zone))) {
    throw UsageError(fmt::format("--tz: '{}' is not a time zone of the system's time zone data; use a name such as "
                                 "Europe/Berlin, America/Chicago or UTC",
                                 zone));
  }
  ::setenv("TZ", zone.c_str(), 1);
  ::tzset();
}

void ChooseTimeZone(const std::vector<std::string>& args, const UserSettings& settings) {
  if (const auto zone = TimeZoneArgument(args)) return UseTimeZone(*zone);
  if (const std::string zone = Variable(kTimeZoneVariable.data()); !zone.empty()) {
    try {
      return UseTimeZone(zone);
    } catch (const UsageError& error) {
      throw UsageError(fmt::format("{}: {}", kTimeZoneVariable, error.what()));
    }
  }
  if (settings.timeZone) {
    try {
      return UseTimeZone(*settings.timeZone);
    } catch (const UsageError& error) {
      throw UsageError(fmt::format("{}: {}", settings.file, error.what()));
    }
  }
}

void ApplyUserSettings(GlobalOptions& global, const UserSettings& settings) {
  if (global.database.empty() && Variable("DORVIK_DATABASE").empty() && settings.database) {
    global.database = *settings.database;
  }
  if (!global.formatGiven && settings.format) global.output.format = *settings.format;
  global.output.utc = global.output.utc || settings.utc;
}

}  // namespace vantrel::cli
