#include "engine/id_reservations.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "engine/engine.h"
#include "engine/storage/codec.h"

namespace dorvik {
namespace {

// One stored entry: id, process, thread (int32 each), time made (int64).
constexpr std::size_t kEntrySize = 3 * sizeof(int32_t) + sizeof(int64_t);

int32_t ThisProcess() { return static_cast<int32_t>(::getpid()); }
// The thread the call runs for (a write runs on the thread leading its group commit).
int32_t ThisThread() { return CallerThreadId(); }

bool ProcessAlive(int32_t process) {
  if (process == ThisProcess()) return true;
  // EPERM: the process is there but belongs to someone else.
  return process > 0 && (::kill(process, 0) == 0 || errno == EPERM);
}

// A reservation that still holds its id: made within its lifetime (a time
// in the future counts as a clock gone backwards, not as a long life) by a
// process that is still there.
bool Holds(const IdReservation& reservation, Micros now) {
  const Micros age = now - reservation.made;
  return age >= -kReservationLifetime && age < kReservationLifetime && ProcessAlive(reservation.process);
}

bool IsMine(const IdReservation& reservation) {
  return reservation.process == ThisProcess() && reservation.thread == ThisThread();
}

std::string Encode(const std::vector<IdReservation>& reservations) {
  storage::ByteWriter out;
  out.Put(static_cast<uint32_t>(reservations.size()));
  for (const IdReservation& r : reservations) out.Put(r.id).Put(r.process).Put(r.thread).Put(r.made);
  const std::vector<std::byte>& bytes = out.bytes();
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void SaveReservations(WriteView& view, const std::vector<IdReservation>& reservations) {
  view.PutMeta(kReservationsKey, Encode(reservations));
}

}  // namespace

std::vector<IdReservation> DecodeReservations(std::string_view stored) {
  storage::ByteReader in(storage::Bytes(stored), "id reservations");
  const auto count = in.Get<uint32_t>();
  if (in.left() != static_cast<std::size_t>(count) * kEntrySize) storage::ThrowCorrupted("id reservations size");
  std::vector<IdReservation> reservations(count);
  for (IdReservation& r : reservations) {
    r.id = in.Get<int32_t>();
    r.process = in.Get<int32_t>();
    r.thread = in.Get<int32_t>();
    r.made = in.Get<int64_t>();
  }
  return reservations;
}

std::vector<IdReservation> StoredReservations(const View& view) {
  const std::optional<std::string_view> stored = view.Meta(kReservationsKey);
  return stored ? DecodeReservations(*stored) : std::vector<IdReservation>{};
}

int32_t ReserveFreeId(WriteView& view, Micros now) {
  std::vector<IdReservation> reservations = StoredReservations(view);
  std::erase_if(reservations, [&](const IdReservation& r) { return !Holds(r, now) || view.IdInUse(r.id); });
  // A thread asking again before it created gets the same id back.
  const auto mine = std::find_if(reservations.begin(), reservations.end(), IsMine);
  if (mine != reservations.end()) {
    const int32_t id = mine->id;
    reservations.erase(mine);
    reservations.push_back({id, ThisProcess(), ThisThread(), now});
    SaveReservations(view, reservations);
    return id;
  }
  std::vector<int32_t> taken;
  for (const IdReservation& r : reservations) taken.push_back(r.id);
  std::sort(taken.begin(), taken.end());
  int32_t id = view.NextFreeId();
  while (id != 0 && std::binary_search(taken.begin(), taken.end(), id)) id = view.NextFreeId(id + 1);
  if (id != 0) {
    // Kept in the order they were made: the oldest goes first when full.
    if (reservations.size() >= kMaxReservations) reservations.erase(reservations.begin());
    reservations.push_back({id, ThisProcess(), ThisThread(), now});
  }
  SaveReservations(view, reservations);
  return id;
}

bool ReservedByOther(const View& view, int32_t id, Micros now) {
  const std::vector<IdReservation> reservations = StoredReservations(view);
  // Any thread of the caller's process may use what one of them was handed.
  return std::any_of(reservations.begin(), reservations.end(), [&](const IdReservation& r) {
    return r.id == id && r.process != ThisProcess() && Holds(r, now);
  });
}

void UseReservation(WriteView& view, int32_t id) {
  std::vector<IdReservation> reservations = StoredReservations(view);
  if (std::erase_if(reservations, [&](const IdReservation& r) { return r.id == id; }) != 0) {
    SaveReservations(view, reservations);
  }
}

}  // namespace dorvik
