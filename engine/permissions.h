// The permission rule: what rights level the calling thread has on a
// record. A thread that set a user (SetTlsData) has the highest level any
// grant gives its account or "*" on the record or on its definition (at
// least 1, read); the database's system account has every right (3); a
// thread that never set a user reads only (1). The grants are snapshotted
// into the thread's UserContext (engine.h) and taken again once the store
// changed. The calling thread's own context only: thread-safe.
#ifndef VANTREL_ENGINE_PERMISSIONS_H_
#define VANTREL_ENGINE_PERMISSIONS_H_

#include <cstdint>

#include "engine/view.h"

namespace dorvik {

struct UserContext;

// Rights level (1 read, 2 write, 3 all) of the calling thread on a record;
// 1 for a thread that never set a user. Re-snapshots when the store changed
// since the snapshot.
int16_t RightsLevel(const View& view, const RecordRef& record);

// Takes the rights snapshot of the calling thread's account.
void SnapshotRights(const View& view, UserContext& user);

}  // namespace dorvik

#endif  // VANTREL_ENGINE_PERMISSIONS_H_
