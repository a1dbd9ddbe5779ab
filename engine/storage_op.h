// StorageOp: the kinds of storage operation (LMDB calls) that a test can make
// fail (InjectStorageFault in control.h); the storage layer counts them.
#ifndef VANTREL_ENGINE_STORAGE_OP_H_
#define VANTREL_ENGINE_STORAGE_OP_H_

namespace dorvik {

// Storage operations that InjectStorageFault can fail.
enum class StorageOp { kBegin, kGet, kPut, kDelete, kCursor, kCommit };

}  // namespace dorvik

#endif  // VANTREL_ENGINE_STORAGE_OP_H_
