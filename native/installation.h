// Readers of the installation's settings: the current version and its base
// folder from the registry, the database group name from the database
// environment, and the account of the group's task service. Each returns a
// zero-terminated text in a buffer of its own (per thread), overwritten by
// that helper's next call on the thread, or a constant empty text. Problems
// are shown in message boxes; a missing current-version key ends the
// process.
#ifndef VANTREL_NATIVE_INSTALLATION_H_
#define VANTREL_NATIVE_INSTALLATION_H_

namespace vantrel::access {

const char* GetCurrentVersion();
const char* GetCurrentVantrelBase(const char* version);
const char* GetInstallBaseFolder();
const char* GetGroupName();
const char* GetTaskServiceAccount();

}  // namespace vantrel::access

#endif  // VANTREL_NATIVE_INSTALLATION_H_
