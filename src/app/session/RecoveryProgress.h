#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace talwen {
namespace sqlite {
class SeekProgressIndicator;
}

namespace app {

// Stage texts of the three watched carving seeks and the counters shown with them.
extern const char* const kFriendSeekText;     // contacts
extern const char* const kChatTableSeekText;  // conversation tables
extern const char* const kChatSeekText;       // messages

// Seek threads for a machine with `hardwareThreads` threads: one is left to the
// rest of the program when there are two or more; never fewer than one.
unsigned seekThreadCount(unsigned hardwareThreads);

// Seconds after 1970-01-01 00:00:00 UTC as "%Y-%m-%d %H:%M:%S"; a duration under a
// day reads "1970-01-01 hh:mm:ss".
std::string formatEpochUtc(uint64_t seconds);
// The time left when `fraction` (0 < fraction <= 1) of the work took elapsedMs,
// assuming the rest goes at the same pace.
uint64_t remainingMilliseconds(double fraction, int64_t elapsedMs);

// One snapshot of a seek's progress record.
struct ProgressSnapshot {
    uint32_t totalPages = 0;
    int64_t elapsedMs = 0;
    uint32_t pagesDone = 0;
    uint32_t recordsFound = 0;
    bool finished = false;
};

// What one poll of a watcher asks the screen to show.
struct ProgressReport {
    bool announceStage = false;  // first report of this seek: show its stage text
    bool showIndicator = false;  // percent and time texts are valid
    int percent = 0;
    std::string remainingText;
    std::string elapsedText;
    bool done = false;  // the watcher stops polling
};

// Turns the snapshots of one seek's progress record into screen updates: a new
// percentage is reported only when it grows, with the remaining time estimated
// from the elapsed time and the fraction of pages done.
class ProgressWatcher {
public:
    ProgressReport poll(const ProgressSnapshot& snapshot);

    // Polls `indicator` every `intervalMs` until its seek reports finished (or
    // `keepRunning` turns false), handing every report to `report`.
    static void watch(const sqlite::SeekProgressIndicator& indicator,
                      const std::function<void(const ProgressReport&)>& report,
                      const std::function<bool()>& keepRunning, int intervalMs = 100);

private:
    int last_ = 0;
    bool first_ = true;
};

}  // namespace app
}  // namespace talwen
