#include <cstdlib>
#include <ctime>

// Pages write local time: the application tests run in UTC wherever they run, and
// the tests of other zones switch to one and back.
namespace {

struct UtcZone {
    UtcZone() {
        setenv("TZ", "UTC", 1);
        tzset();
    }
} utcZone;

}  // namespace
