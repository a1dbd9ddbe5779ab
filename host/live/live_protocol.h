// The messages of the live values stream (/v1/live), as JSON text, one
// message a WebSocket frame. Pure functions; safe from any thread.
//
// From the client, one request a message (at most kMaxRequestBytes):
//   {"subscribe":   {"TI101": ["VALUE", "UNITS"], "PI201": ["VALUE"]}}
//   {"unsubscribe": {"TI101": ["UNITS"]}}
//   {"watchTask":   "VN_Task"}
// To the client, the updates waiting for it, oldest first:
//   {"updates": [
//     {"record": "TI101", "field": "VALUE", "values": [<TagValue>], "missed": 0},
//     {"record": "XX", "field": "VALUE", "refused": "XX VALUE: no such record or field that VNT\\op may read"},
//     {"task": "VN_Task", "pending": 2}]}
// and, for a request it cannot read, {"error": "..."}. TagValue is the
// contracts' JSON form {"value", "timestamp", "status", "level"}; "missed"
// counts the changes of that field the client was too slow to get one by one.
#ifndef VANTREL_HOST_LIVE_LIVE_PROTOCOL_H_
#define VANTREL_HOST_LIVE_LIVE_PROTOCOL_H_

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/collections.h"
#include "host/live/live_hub.h"
#include "host/live/live_update.h"

namespace vantrel::host::live {

inline constexpr std::size_t kMaxRequestBytes = 1 << 20;

struct LiveRequest {
  enum class Kind { kSubscribe, kUnsubscribe, kWatchTask };
  Kind kind = Kind::kSubscribe;
  contracts::Tags tags;  // kSubscribe, kUnsubscribe
  std::string task;      // kWatchTask
};

// Reads one client message. Throws platform::ArgumentException whose
// message says what is wrong (and the JSON path) for anything else.
LiveRequest ParseLiveRequest(std::string_view text);

// Carries out request for subscriber (reads on the calling thread).
void ApplyLiveRequest(LiveHub& hub, const std::shared_ptr<LiveSubscriber>& subscriber, const LiveRequest& request);

std::string EncodeUpdates(const std::vector<LiveUpdate>& updates);
std::string EncodeError(std::string_view message);

}  // namespace vantrel::host::live

#endif  // VANTREL_HOST_LIVE_LIVE_PROTOCOL_H_
