#include "engine/file_audit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "engine/unique_fd.h"

namespace dorvik {
namespace {

// LMDB's file format (0.9, 64-bit): what its pages, meta pages, nodes and
// table records hold, at these offsets.
constexpr std::size_t kPageHeader = 16;  // pgno u64, pad u16, flags u16, lower u16, upper u16 (or pages u32)
constexpr uint16_t kPageBranch = 0x01, kPageLeaf = 0x02, kPageOverflow = 0x04;
constexpr uint16_t kPageOtherLayouts = 0x08 | 0x20 | 0x40;  // meta, LEAF2, sub-page
constexpr uint16_t kNodeBigData = 0x01, kNodeSubData = 0x02;
constexpr std::size_t kNodeHeader = 8;  // lo u16, hi u16, flags u16, ksize u16
constexpr uint32_t kMagic = 0xBEEFC0DE;
constexpr uint32_t kDataVersion = 1;
constexpr std::size_t kTableRecordSize = 48;  // pad u32, flags u16, depth u16, 4 counts u64, root u64
// A meta page after its page header: magic u32, version u32, address u64,
// map size u64, the free list's and the main table's records, last page u64,
// transaction id u64.
constexpr std::size_t kMetaMapSize = 16, kMetaTables = 24, kMetaLastPage = 120, kMetaTxnid = 128, kMetaSize = 136;
constexpr uint64_t kNoPage = ~uint64_t{0};
constexpr int kMaxDepth = 32;  // LMDB's cursor stack
constexpr uint64_t kWholeReadLimit = uint64_t{64} << 20;  // read at once, not page by page
// Table flags the store's tables may have: MDB_INTEGERKEY only.
constexpr uint16_t kIntegerKeys = 0x08;
constexpr uint16_t kAllowedTableFlags = kIntegerKeys;

template <typename T>
T Load(const std::byte* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

struct TableRecord {
  uint16_t flags = 0;
  uint16_t depth = 0;
  uint64_t root = kNoPage;
};

TableRecord ReadTableRecord(const std::byte* at) {
  return TableRecord{Load<uint16_t>(at + 4), Load<uint16_t>(at + 6), Load<uint64_t>(at + 40)};
}

// Orders keys as LMDB does for a table: integer keys (MDB_INTEGERKEY) as
// native unsigned numbers of one size, others bytewise with a shorter
// prefix first.
bool KeyLess(std::string_view a, std::string_view b, bool integerKeys) {
  if (integerKeys) {
    if (a.size() == sizeof(uint32_t)) return Load<uint32_t>(reinterpret_cast<const std::byte*>(a.data())) <
                                             Load<uint32_t>(reinterpret_cast<const std::byte*>(b.data()));
    return Load<uint64_t>(reinterpret_cast<const std::byte*>(a.data())) <
           Load<uint64_t>(reinterpret_cast<const std::byte*>(b.data()));
  }
  return a < b;
}

// The keys a page may hold: at least low, below high; no bound when absent.
// A branch page's first key is none: its child holds everything below the
// second key, down to the page's own low bound.
struct KeyRange {
  std::optional<std::string_view> low, high;
};

// What a walk through one table's pages needs to know of the table.
struct TableWalk {
  const std::string& name;
  bool isMain;
  bool integerKeys;
};

class Auditor {
 public:
  Auditor(int fd, uint64_t fileSize, AuditDepth depth) : fd_(fd), fileSize_(fileSize), depth_(depth) {}

  std::vector<std::string> Run() {
    if (!ReadMeta() || depth_ == AuditDepth::kMetaPages) return faults_;
    // The size is taken after the meta pages: a writer of another process
    // writes a commit's pages before its meta page, so the file then holds
    // every page the meta page read reaches.
    struct stat file {};
    if (::fstat(fd_, &file) == 0) fileSize_ = static_cast<uint64_t>(file.st_size);
    // A small file is read at once: one read instead of one per page.
    if (fileSize_ <= kWholeReadLimit && depth_ == AuditDepth::kEveryPage) {
      std::vector<std::byte> whole(fileSize_);
      if (ReadAt(0, whole.data(), whole.size())) whole_ = std::move(whole);
    }
    if (depth_ == AuditDepth::kEveryPage) Table("free list", free_, false);
    Table("main table", main_, true);
    return faults_;
  }

 private:
  template <typename... Args>
  void Fault(fmt::format_string<Args...> format, Args&&... args) {
    if (faults_.size() < kMaxAuditFaults) {
      faults_.push_back(std::string(kAuditFaultPrefix) + fmt::format(format, std::forward<Args>(args)...));
    }
  }

  bool ReadAt(uint64_t offset, std::byte* out, std::size_t size) {
    if (offset > fileSize_ || size > fileSize_ - offset) return false;
    if (!whole_.empty()) {
      std::memcpy(out, whole_.data() + offset, size);
      return true;
    }
    std::size_t done = 0;
    while (done < size) {
      const ssize_t got = ::pread(fd_, out + done, size - done, static_cast<off_t>(offset + done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      done += static_cast<std::size_t>(got);
    }
    return true;
  }

  // The newest of the two meta pages, as LMDB picks it.
  bool ReadMeta() {
    std::byte metas[2][kPageHeader + kMetaSize];
    uint64_t txnids[2] = {0, 0};
    bool valid[2] = {false, false};
    for (int i = 0; i < 2; ++i) {
      // A meta page's size is its own record's page size; the first one starts the file.
      uint32_t pageSize = 0;
      if (i == 1) pageSize = psize_;
      if (!ReadAt(static_cast<uint64_t>(i) * pageSize, metas[i], sizeof metas[i])) continue;
      const std::byte* meta = metas[i] + kPageHeader;
      valid[i] = Load<uint32_t>(meta) == kMagic && Load<uint32_t>(meta + 4) == kDataVersion;
      txnids[i] = Load<uint64_t>(meta + kMetaTxnid);
      if (i == 0) {
        psize_ = Load<uint32_t>(meta + kMetaTables);  // the free list record's pad holds the page size
        if (!valid[0] || psize_ < 512 || psize_ > 65536 || (psize_ & (psize_ - 1)) != 0) {
          Fault("the first meta page is not an LMDB meta page of a valid page size");
          return false;
        }
      }
    }
    // LMDB maps the file by either meta page's page size and may take
    // either: both must be whole and agree.
    for (int i = 0; i < 2; ++i) {
      const std::byte* meta = metas[i] + kPageHeader;
      const uint64_t pages = Load<uint64_t>(meta + kMetaLastPage) + 1;
      if (!valid[i] || Load<uint32_t>(meta + kMetaTables) != psize_) {
        Fault("meta page {} is not an LMDB meta page of this file's page size", i);
        return false;
      }
      // LMDB does not write the pages a transaction freed again before its
      // commit, so the file may end before the last page in use: what must lie
      // in the file are the pages the tables reach (Page), and the pages in use
      // must fit the map the meta page names.
      const uint64_t mapPages = Load<uint64_t>(meta + kMetaMapSize) / psize_;
      if (pages < 2 || pages > mapPages) {
        Fault("meta page {} names {} pages, its map holds {}", i, pages, mapPages);
        return false;
      }
    }
    const int newest = txnids[1] > txnids[0] ? 1 : 0;
    const std::byte* meta = metas[newest] + kPageHeader;
    lastPage_ = Load<uint64_t>(meta + kMetaLastPage);
    free_ = ReadTableRecord(meta + kMetaTables);
    main_ = ReadTableRecord(meta + kMetaTables + kTableRecordSize);
    return true;
  }

  // Walks one table from its record.
  void Table(const std::string& name, const TableRecord& record, bool isMain) {
    if (record.root == kNoPage) return;
    // The free list's record keeps the environment's flags in its flags word.
    if (name != "free list" && ((record.flags & ~kAllowedTableFlags) != 0 || (isMain && record.flags != 0))) {
      return Fault("{}: flags 0x{:X} this store never uses", name, record.flags);
    }
    if (record.depth < 1 || record.depth > kMaxDepth) return Fault("{}: depth {}", name, record.depth);
    // The free list is keyed by transaction ids; its record's flags are the environment's.
    const bool integerKeys = name == "free list" || (record.flags & kIntegerKeys) != 0;
    Page(TableWalk{name, isMain, integerKeys}, record.root, record.depth, KeyRange{});
  }

  // Marks pgno (at most lastPage_) reached; true when it was already.
  bool Seen(uint64_t pgno) {
    if (seen_.size() <= lastPage_) seen_.resize(lastPage_ + 1, false);
    const bool before = seen_[pgno];
    seen_[pgno] = true;
    return before;
  }

  // A table named in the main table: its record always, its pages when the
  // audit goes that far.
  void TableRecordOf(const std::string& name, const TableRecord& record) {
    if (depth_ == AuditDepth::kEveryPage) return Table(name, record, false);
    if (record.root == kNoPage) return;
    if ((record.flags & ~kAllowedTableFlags) != 0) {
      return Fault("{}: flags 0x{:X} this store never uses", name, record.flags);
    }
    if (record.depth < 1 || record.depth > kMaxDepth) return Fault("{}: depth {}", name, record.depth);
    if (record.root < 2 || record.root > lastPage_) {
      return Fault("{}: root page {} is outside the pages in use", name, record.root);
    }
    std::byte probe[1];
    if (!ReadAt(record.root * psize_, probe, sizeof probe)) {
      return Fault("{}: root page {} lies past the end of the file", name, record.root);
    }
  }

  void Page(const TableWalk& walk, uint64_t pgno, int depth, const KeyRange& range) {
    const std::string& table = walk.name;
    if (faults_.size() >= kMaxAuditFaults) return;
    if (pgno < 2 || pgno > lastPage_) return Fault("{}: page {} is outside the pages in use", table, pgno);
    if (Seen(pgno)) return Fault("{}: page {} is reached twice", table, pgno);
    std::vector<std::byte> page(psize_);
    if (!ReadAt(pgno * psize_, page.data(), page.size())) return Fault("{}: page {} cannot be read", table, pgno);
    const std::byte* bytes = page.data();
    const auto flags = Load<uint16_t>(bytes + 10);
    const auto lower = Load<uint16_t>(bytes + 12);
    const auto upper = Load<uint16_t>(bytes + 14);
    // Only the kind bits: LEAF2, sub-page and meta pages are laid out otherwise.
    const uint16_t kind = flags & (kPageBranch | kPageLeaf | kPageOverflow | kPageOtherLayouts);
    const bool branch = depth > 1;
    if (Load<uint64_t>(bytes) != pgno || kind != (branch ? kPageBranch : kPageLeaf)) {
      return Fault("{}: page {} is not the {} page its parent names", table, pgno, branch ? "branch" : "leaf");
    }
    if (lower < kPageHeader || lower > upper || upper > psize_ || (lower & 1) != 0) {
      return Fault("{}: page {} has bounds {}..{}", table, pgno, lower, upper);
    }
    const std::size_t count = (lower - kPageHeader) / 2;
    if (branch && count < 1) return Fault("{}: branch page {} is empty", table, pgno);
    std::vector<std::string_view> keys(count);
    for (std::size_t i = 0; i < count; ++i) {
      const uint16_t offset = Load<uint16_t>(bytes + kPageHeader + 2 * i);
      if (!KeyAt(table, bytes, pgno, offset, upper, keys[i])) return;
    }
    if (!KeysInOrder(walk, pgno, keys, branch, range)) return;
    for (std::size_t i = 0; i < count; ++i) {
      const uint16_t offset = Load<uint16_t>(bytes + kPageHeader + 2 * i);
      if (branch) {
        // Child i holds the keys from its own key (the page's low bound for
        // the first) up to the next key (the page's high bound for the last).
        const KeyRange child{i == 0 ? range.low : keys[i], i + 1 < count ? keys[i + 1] : range.high};
        Page(walk, ChildOf(bytes + offset), depth - 1, child);
      } else if (!Leaf(walk, bytes, pgno, offset, keys[i])) {
        return;
      }
    }
  }

  // The key of the node at offset, within its page; false when it is not.
  bool KeyAt(const std::string& table, const std::byte* page, uint64_t pgno, uint16_t offset, uint16_t upper,
             std::string_view& key) {
    if (offset < upper || offset + kNodeHeader > psize_) {
      Fault("{}: page {} has a node outside its page", table, pgno);
      return false;
    }
    const auto keySize = Load<uint16_t>(page + offset + 6);
    if (offset + kNodeHeader + keySize > psize_) {
      Fault("{}: page {} has a key running past its page", table, pgno);
      return false;
    }
    key = std::string_view(reinterpret_cast<const char*>(page + offset + kNodeHeader), keySize);
    return true;
  }

  // LMDB finds a key by bisecting each page on the way down: keys out of
  // order, or outside the range the parent gives the page, send a search
  // to the wrong entry and a walk that resumes from a key back over keys
  // it has passed, for ever.
  bool KeysInOrder(const TableWalk& walk, uint64_t pgno, const std::vector<std::string_view>& keys, bool branch,
                   const KeyRange& range) {
    // A branch page's first key is empty and stands for its low bound.
    const std::size_t first = branch ? 1 : 0;
    for (std::size_t i = first; i < keys.size(); ++i) {
      if (walk.integerKeys && keys[i].size() != sizeof(uint32_t) && keys[i].size() != sizeof(uint64_t)) {
        Fault("{}: page {} has an integer key of {} bytes", walk.name, pgno, keys[i].size());
        return false;
      }
      const bool sameSize = !walk.integerKeys || (i == first || keys[i].size() == keys[i - 1].size());
      const bool afterPrevious = i == first ? !range.low || !KeyLess(keys[i], *range.low, walk.integerKeys)
                                            : sameSize && KeyLess(keys[i - 1], keys[i], walk.integerKeys);
      const bool belowHigh = !range.high || KeyLess(keys[i], *range.high, walk.integerKeys);
      if (!afterPrevious || !belowHigh) {
        Fault("{}: page {} has keys out of order", walk.name, pgno);
        return false;
      }
    }
    return true;
  }

  // A branch node's child page number: in its lo, hi and flags words.
  static uint64_t ChildOf(const std::byte* node) {
    const uint64_t low = Load<uint16_t>(node), high = Load<uint16_t>(node + 2);
    return low | (high << 16) | (static_cast<uint64_t>(Load<uint16_t>(node + 4)) << 32);
  }

  // One node of a leaf page; false when the page is not worth reading further.
  bool Leaf(const TableWalk& walk, const std::byte* page, uint64_t pgno, uint16_t offset, std::string_view key) {
    const std::string& table = walk.name;
    const std::byte* node = page + offset;
    const uint64_t dataSize = Load<uint16_t>(node) | (uint64_t{Load<uint16_t>(node + 2)} << 16);
    const auto flags = Load<uint16_t>(node + 4);
    const std::size_t keyEnd = offset + kNodeHeader + key.size();
    const uint16_t allowed = walk.isMain ? kNodeSubData : kNodeBigData;
    if ((flags & ~allowed) != 0) {
      Fault("{}: page {} has a node of flags 0x{:X}", table, pgno, flags);
      return false;
    }
    if ((flags & kNodeBigData) != 0) return Overflow(table, pgno, page, keyEnd, dataSize);
    if (keyEnd + dataSize > psize_) {
      Fault("{}: page {} has a value running past its page", table, pgno);
      return false;
    }
    if ((flags & kNodeSubData) != 0) {
      if (dataSize != kTableRecordSize) {
        Fault("{}: page {} has a table record of {} bytes", table, pgno, dataSize);
        return false;
      }
      TableRecordOf(fmt::format("table \"{}\"", key), ReadTableRecord(page + keyEnd));
    }
    return true;
  }

  // A value in its own run of overflow pages.
  bool Overflow(const std::string& table, uint64_t pgno, const std::byte* page, std::size_t keyEnd,
                uint64_t dataSize) {
    if (keyEnd + sizeof(uint64_t) > psize_) {
      Fault("{}: page {} has a large value without its page number", table, pgno);
      return false;
    }
    const auto first = Load<uint64_t>(page + keyEnd);
    std::byte header[kPageHeader];
    if (first < 2 || first > lastPage_ || !ReadAt(first * psize_, header, sizeof header) ||
        Load<uint64_t>(header) != first || (Load<uint16_t>(header + 10) & kPageOverflow) == 0) {
      Fault("{}: page {} names overflow page {}, which is none", table, pgno, first);
      return true;
    }
    const auto pages = Load<uint32_t>(header + 12);
    if (pages < 1 || first + pages - 1 > lastPage_ || dataSize > uint64_t{pages} * psize_ - kPageHeader) {
      Fault("{}: the overflow run at page {} does not hold its value", table, first);
      return true;
    }
    for (uint64_t k = 0; k < pages; ++k) {
      if (Seen(first + k)) {
        Fault("{}: overflow page {} is reached twice", table, first + k);
        break;
      }
    }
    return true;
  }

  int fd_;
  uint64_t fileSize_;
  AuditDepth depth_;
  uint32_t psize_ = 0;
  uint64_t lastPage_ = 0;
  TableRecord free_, main_;
  std::vector<bool> seen_;  // by page number, up to the last page in use
  std::vector<std::byte> whole_;  // the file, when read at once
  std::vector<std::string> faults_;
};

}  // namespace

// A writer of another process may commit while the file is read: its pages
// and its meta page then lie past the size taken before, or the file grew
// under a whole read. Damage stays where it is and a commit's traces do not,
// so a fault counts only when every one of a few audits finds the file damaged.
constexpr int kAuditAttempts = 5;

std::vector<std::string> AuditDataFile(int fd, AuditDepth depth) {
  std::vector<std::string> faults;
  for (int attempt = 0; attempt < kAuditAttempts; ++attempt) {
    struct stat file {};
    if (::fstat(fd, &file) != 0) {
      return {fmt::format("{}cannot be read: {}", kAuditFaultPrefix, std::strerror(errno))};
    }
    faults = Auditor(fd, static_cast<uint64_t>(file.st_size), depth).Run();
    if (faults.empty()) break;
  }
  return faults;
}

std::vector<std::string> AuditDataFile(const std::filesystem::path& path, AuditDepth depth) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) {
    return {fmt::format("{}{} cannot be read: {}", kAuditFaultPrefix, path.string(), std::strerror(errno))};
  }
  return AuditDataFile(fd.get(), depth);
}

}  // namespace dorvik
