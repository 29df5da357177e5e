#pragma once

#include <cstdint>

#include <QString>

namespace talwen {
namespace app {

// `seconds` after 1970-01-01 00:00:00 UTC as "yyyy-MM-dd HH:mm:ss" (UTC);
// empty when the calendar cannot represent it.
QString formatUtcTime(int64_t seconds);

// The year in the first four characters of a "yyyy-..." text; 0 when they are not a number.
int yearOfTimeText(const QString& text);

}  // namespace app
}  // namespace talwen
