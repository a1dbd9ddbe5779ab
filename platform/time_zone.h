// The local time zone (the process's TZ, else the system zone) and the
// current time. Conversions use the zone's rules for the instant in
// question, so they are right on both sides of a daylight-saving change.
// Thread-safe. The zone is loaded on first use; a process that changes TZ
// afterwards calls tzset(). A result beyond either end of DateTime's range
// is clamped to that end (MinValue and MaxValue stay "no bound").
#ifndef VANTREL_PLATFORM_TIME_ZONE_H_
#define VANTREL_PLATFORM_TIME_ZONE_H_

#include <vector>

#include "contracts/date_time.h"

namespace vantrel::platform {

// The current time, kind UTC / kind local.
contracts::DateTime UtcNow();
contracts::DateTime Now();

// A local or unspecified time as UTC (a UTC time unchanged). A local time
// that a daylight-saving change skips is taken as standard time; one that
// occurs twice is taken as the standard-time (later) instant.
contracts::DateTime ToUniversalTime(const contracts::DateTime& time);

// The UTC instants at which the local wall-clock time `local` (its kind is
// not looked at) occurs, earlier first: one as a rule, none when a
// daylight-saving change skips it, two when a change makes it occur twice.
// For callers that must not guess, unlike ToUniversalTime.
std::vector<contracts::DateTime> LocalTimeInstants(const contracts::DateTime& local);

// A UTC or unspecified time as local (a local time unchanged).
contracts::DateTime ToLocalTime(const contracts::DateTime& time);

}  // namespace vantrel::platform

#endif  // VANTREL_PLATFORM_TIME_ZONE_H_
