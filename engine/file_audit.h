// The audit of a data file's page structure, read with pread (never through
// the map), before anything walks its tables through LMDB.
//
// LMDB trusts its pages: a damaged node offset, key size, node flag or child
// page number makes LMDB itself read outside the page, or follow a pointer
// it never set, and the process dies inside LMDB where no check of ours can
// stand. The audit follows every table from the newest meta page and checks
// what LMDB would trust: page numbers within the pages in use and each page
// reached once, page kinds, node offsets and sizes within their page,
// overflow runs within the file, node flags that the table's kind allows,
// and table records (flags, depth, root). A file it passes can be walked by
// LMDB; what the entries hold is then the decoders' to check.
//
// It reads the whole file: check and export, which walk everything anyway,
// run it first. Stateless; any thread.
#ifndef VANTREL_ENGINE_FILE_AUDIT_H_
#define VANTREL_ENGINE_FILE_AUDIT_H_

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace dorvik {

// The faults of the data file at path (data.mdb), each starting with
// kAuditFaultPrefix; empty when it is sound. Stops at kMaxAuditFaults.
std::vector<std::string> AuditDataFile(const std::filesystem::path& path);

inline constexpr std::size_t kMaxAuditFaults = 100;
inline constexpr std::string_view kAuditFaultPrefix = "data file: ";

}  // namespace dorvik

#endif  // VANTREL_ENGINE_FILE_AUDIT_H_
