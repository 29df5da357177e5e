#include "app/session/RecoveryProgress.h"

#include <chrono>
#include <thread>

#include "app/store/TimeText.h"
#include "sqlite_recovery/SeekProgressIndicator.h"

namespace talwen {
namespace app {

const char* const kFriendSeekText = "正在扫描好友...";
const char* const kChatTableSeekText = "正在扫描聊天记录...";
const char* const kChatSeekText = "正在扫描、分析记录...";

unsigned seekThreadCount(unsigned hardwareThreads) {
    const unsigned count = hardwareThreads >= 2 ? hardwareThreads - 1 : hardwareThreads;
    return count == 0 ? 1 : count;
}

std::string formatEpochUtc(uint64_t seconds) {
    return formatUtcTime(static_cast<int64_t>(seconds)).toStdString();
}

uint64_t remainingMilliseconds(double fraction, int64_t elapsedMs) {
    if (fraction <= 0.0 || elapsedMs <= 0) return 0;
    const double remaining = (1.0 - fraction) / fraction * static_cast<double>(elapsedMs);
    return remaining > 0 ? static_cast<uint64_t>(remaining) : 0;
}

ProgressReport ProgressWatcher::poll(const ProgressSnapshot& snapshot) {
    ProgressReport report;
    if (snapshot.elapsedMs == 0 || snapshot.totalPages == 0) {
        report.done = snapshot.finished;
        return report;
    }
    double fraction = 1.0;
    int percent = 100;
    if (snapshot.finished) {
        if (last_ > 99) {
            report.done = true;
            return report;
        }
    } else {
        fraction = static_cast<double>(snapshot.pagesDone) / snapshot.totalPages;
        percent = static_cast<int>(fraction * 100 + 0.5);
        if (percent <= last_) return report;
    }
    last_ = percent;
    if (first_) {
        report.announceStage = true;
        first_ = false;
    }
    // Before the first page is done the fraction is 0 and nothing is reported
    // (percent 0 never exceeds last), so the division below is safe.
    const uint64_t remainingMs = remainingMilliseconds(fraction, snapshot.elapsedMs);
    report.showIndicator = true;
    report.percent = percent;
    report.remainingText = formatEpochUtc(remainingMs / 1000);
    report.elapsedText = formatEpochUtc(static_cast<uint64_t>(snapshot.elapsedMs) / 1000);
    report.done = snapshot.finished;
    return report;
}

void ProgressWatcher::watch(const sqlite::SeekProgressIndicator& indicator,
                            const std::function<void(const ProgressReport&)>& report,
                            const std::function<bool()>& keepRunning, int intervalMs) {
    ProgressWatcher watcher;
    while (keepRunning()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
        ProgressSnapshot snapshot;
        indicator.getProgress(snapshot.totalPages, snapshot.elapsedMs, snapshot.pagesDone,
                              snapshot.recordsFound, snapshot.finished);
        const ProgressReport step = watcher.poll(snapshot);
        if (step.announceStage || step.showIndicator) report(step);
        if (step.done) return;
    }
}

}  // namespace app
}  // namespace talwen
