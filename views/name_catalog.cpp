#include "views/name_catalog.h"

#include <algorithm>
#include <cstdint>

#include "views/progress.h"
#include "views/tool_services.h"

namespace vantrel::cli {

const std::vector<std::string>& NameCatalog::Definitions() {
  if (!definitions_) Load();
  return *definitions_;
}

const std::vector<std::string>& NameCatalog::Records() {
  if (!definitions_) Load();
  return records_;
}

void NameCatalog::Forget() {
  definitions_.reset();
  records_.clear();
}

void NameCatalog::Load() {
  std::vector<std::string> definitionNames;
  std::vector<std::string> records;
  if (source_ != nullptr) {
    Progress progress("listing record names", 1);
    source_->ListNames(definitionNames, records);
    progress.Advance();
  }
  std::sort(definitionNames.begin(), definitionNames.end());
  std::sort(records.begin(), records.end());
  records.erase(std::unique(records.begin(), records.end()), records.end());
  definitions_ = std::move(definitionNames);
  records_ = std::move(records);
}

}  // namespace vantrel::cli
