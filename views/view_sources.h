// ViewSources: what a view reads with: the tool's look-ups and data service
// (ToolAccess), the management service, and the catalog of names that
// suggestions come from, all as one caller. The tool's CommandContext is one
// (as the --user caller, in process or through a host); the host's GET
// routes make one per request, as the proven caller.
//
// Used by the thread that serves one command or one request.
#ifndef VANTREL_VIEWS_VIEW_SOURCES_H_
#define VANTREL_VIEWS_VIEW_SOURCES_H_

namespace vantrel::contracts {
class IManagementService;
}

namespace vantrel::cli {

class NameCatalog;
class ToolAccess;

class ViewSources {
 public:
  virtual ~ViewSources() = default;
  virtual ToolAccess& Access() = 0;
  virtual contracts::IManagementService& Manage() = 0;
  virtual NameCatalog& Catalog() = 0;
};

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_VIEW_SOURCES_H_
