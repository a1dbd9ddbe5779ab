// The audit of a data file's page structure, read with pread (never through
// the map), before anything walks its tables through LMDB.
//
// LMDB trusts its pages: a damaged node offset, key size, node flag or child
// page number makes LMDB itself read outside the page, or follow a pointer
// it never set, and the process dies inside LMDB where no check of ours can
// stand. The audit follows every table from the newest meta page and checks
// what LMDB would trust: page numbers within the pages in use and each page
// reached once, page kinds, node offsets and sizes within their page,
// keys in order within their page and within the range its parent gives
// it (LMDB bisects by them), overflow runs within the file, node flags that
// the table's kind allows, and table records (flags, depth, root). A file it passes can be walked by
// LMDB; what the entries hold is then the decoders' to check.
//
// A whole audit reads the whole file: check and export, which walk
// everything anyway, run it first; opening a store runs it on small files.
// Stateless; any thread.
#ifndef VANTREL_ENGINE_FILE_AUDIT_H_
#define VANTREL_ENGINE_FILE_AUDIT_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace dorvik {

// How far an audit goes: the two meta pages (what LMDB trusts to map the
// file), then the main table with the records of the tables in it (what
// opening the tables walks: a page or two), or every page of every table.
enum class AuditDepth { kMetaPages, kTableRecords, kEveryPage };

// The faults of the data file at path (data.mdb), or of the open file fd,
// each starting with kAuditFaultPrefix; empty when it is sound. Stops at
// kMaxAuditFaults. The caller holds a read transaction of the store while
// it runs, so that no page the audit follows is reused under it.
std::vector<std::string> AuditDataFile(const std::filesystem::path& path, AuditDepth depth = AuditDepth::kEveryPage);
std::vector<std::string> AuditDataFile(int fd, AuditDepth depth);

// Opening a store audits every page of a data file up to this size (256
// pages of 4 KiB, well under a millisecond on an idle machine), and only the
// table records of a larger one, so that opening costs no more than that for
// any size.
inline constexpr uint64_t kAuditAtOpenLimit = uint64_t{1} << 20;

inline constexpr std::size_t kMaxAuditFaults = 100;
inline constexpr std::string_view kAuditFaultPrefix = "data file: ";

}  // namespace dorvik

#endif  // VANTREL_ENGINE_FILE_AUDIT_H_
