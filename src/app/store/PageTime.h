#pragma once

#include <cstdint>
#include <set>

#include <QString>

namespace talwen {
namespace app {

// Times as pages and machine-readable exports write them. Pages show the reader's
// local time (or UTC when asked) and say which offset that is; exports carry UTC
// beside it, so the same export reads the same on any machine.

// "yyyy-MM-dd HH:mm:ss" in local time, or in UTC when `utc`; empty when the
// calendar cannot represent the time.
QString pageTimeText(int64_t seconds, bool utc);
// The offset from UTC of the page time of `seconds`, in seconds (0 when `utc`).
int pageUtcOffset(int64_t seconds, bool utc);
// "yyyy-MM-ddTHH:mm:ssZ".
QString isoUtcText(int64_t seconds);
// "+08:00", "-03:30", "+00:00".
QString utcOffsetText(int offsetSeconds);
// The page header's statement of the zone: "UTC" when `utc`, else "UTC+08:00", or
// "UTC+01:00 / UTC+02:00" when daylight saving time changes within the page.
QString zoneNote(const std::set<int>& offsets, bool utc);
// Seconds since 1970 of a local "yyyy-MM-dd HH:mm:ss" text; false when it is none.
bool parseLocalTimeText(const QString& text, int64_t* seconds);

}  // namespace app
}  // namespace talwen
