// Times people type on the command line, as UTC instants. A time without a
// zone is local time (TZ). The forms (kTimeForms lists them for help):
//
//   now                          the current time
//   today, yesterday             local midnight of that day
//   today 08:00, yesterday 20:15:30
//   -1h, -90m, -1h30m, +30s      relative to now; units ms s m h d w, a sign
//   now-1h, now+15m              the same
//   1709769600, 1709769600.25    seconds since 1970-01-01 UTC (also @1709769600)
//   2024-03-06, 2024-03-06 20:00, 2024-03-06T20:00:00.250     local
//   2024-03-06T20:00:00Z, 2024-03-06 20:00+01:00               with a zone
//
// A local time that a daylight-saving change skips is refused; one that
// occurs twice is refused too unless it has an offset or the process chose
// which of the two to take (SetRepeatedTimeChoice: --earlier, --later).
//
// Thread-safe; the local zone and the choice are the process's, set before
// parsing starts.
#ifndef VANTREL_VIEWS_TIME_PARSE_H_
#define VANTREL_VIEWS_TIME_PARSE_H_

#include <string>
#include <string_view>

#include "contracts/date_time.h"

namespace vantrel::cli {

// Which instant a local time that occurs twice stands for.
enum class RepeatedTime { kRefuse, kEarlier, kLater };
void SetRepeatedTimeChoice(RepeatedTime choice);

// text as a UTC instant (kind Utc); relative forms count from now. Throws
// UsageError naming the text and the accepted forms, or the range of times
// the database keeps (1901-12-13 20:45:52 to 2038-01-19 03:14:07 UTC).
contracts::DateTime ParseTime(std::string_view text, const contracts::DateTime& now);

// The name of the local zone for messages: TZ, or "local time" when unset.
std::string LocalZoneName();

// The accepted forms, one per line with an example, for help texts.
extern const std::string_view kTimeForms;

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_TIME_PARSE_H_
