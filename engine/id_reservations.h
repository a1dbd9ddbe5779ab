// Ids that NXTFREE handed to a caller whose CREATERECORD has not come yet.
//
// Two processes asking NXTFREE at once would otherwise both get the lowest
// free id, and the second CREATERECORD would find it taken. So NXTFREE
// reserves the id it hands out, in the store (the meta entry
// "idReservations"), for the calling thread of the calling process; other
// callers' NXTFREE skip it, and other processes' CREATERECORD of it is
// refused as in use. The caller's CREATERECORD with that id uses the
// reservation up. A reservation ends too when its process is gone (kill(pid,
// 0) answers ESRCH) or kReservationLifetime after it was made, so a caller
// that never creates holds nothing for long.
//
// Reservations are transient: they say who is creating right now, so an
// export leaves them out and an import starts with none.
//
// Functions on a View or WriteView: the thread of its transaction.
#ifndef VANTREL_ENGINE_ID_RESERVATIONS_H_
#define VANTREL_ENGINE_ID_RESERVATIONS_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/catalog.h"
#include "engine/view.h"

namespace dorvik {

inline constexpr std::string_view kReservationsKey = "idReservations";
inline constexpr Micros kReservationLifetime = 60'000'000;
// At most this many reservations are kept; beyond it the oldest goes.
inline constexpr std::size_t kMaxReservations = 4096;

struct IdReservation {
  int32_t id = 0;
  int32_t process = 0;  // pid of the caller
  int32_t thread = 0;   // its thread id (gettid)
  Micros made = 0;      // wall-clock time of the NXTFREE
};

// The stored list; a malformed one raises the corruption error.
std::vector<IdReservation> DecodeReservations(std::string_view stored);
std::vector<IdReservation> StoredReservations(const View& view);

// The id NXTFREE hands the calling thread: the lowest id neither in use nor
// reserved by another live caller, reserved for this thread (the one it
// holds already when that is still free). 0 when no id is left.
int32_t ReserveFreeId(WriteView& view, Micros now);

// Whether a live caller of another process holds a reservation of id
// (CREATERECORD refuses such an id as in use; the threads of one process
// share what they were handed).
bool ReservedByOther(const View& view, int32_t id, Micros now);

// Ends the reservation of id (a record was created with it), if any.
void UseReservation(WriteView& view, int32_t id);

}  // namespace dorvik

#endif  // VANTREL_ENGINE_ID_RESERVATIONS_H_
