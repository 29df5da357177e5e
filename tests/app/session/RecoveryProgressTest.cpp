#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "app/session/RecoveryProgress.h"
#include "sqlite_recovery/SeekProgressIndicator.h"

using namespace talwen::app;

TEST(RecoveryProgress, SeekThreadCountLeavesOneThreadToTheProgram) {
    const std::pair<unsigned, unsigned> cases[] = {{8, 7}, {2, 1}, {1, 1}, {0, 1}};
    for (const auto& [hardware, expected] : cases) EXPECT_EQ(expected, seekThreadCount(hardware)) << hardware;
}

TEST(RecoveryProgress, PercentIsRoundedAndOnlyReportedWhenItGrows) {
    struct Case {
        uint32_t done, total;
        bool reported;
        int percent;
    };
    const Case cases[] = {{1, 3, true, 33}, {2, 3, true, 67}, {1, 400, false, 0}};
    for (const Case& c : cases) {
        ProgressWatcher watcher;
        const ProgressReport report = watcher.poll({c.total, 1000, c.done, 0, false});
        EXPECT_EQ(c.reported, report.showIndicator) << c.done << "/" << c.total;
        if (c.reported) {
            EXPECT_EQ(c.percent, report.percent);
        }
        EXPECT_FALSE(report.done);
    }
    ProgressWatcher watcher;
    EXPECT_TRUE(watcher.poll({3, 1000, 1, 0, false}).announceStage);
    EXPECT_FALSE(watcher.poll({3, 1100, 1, 0, false}).showIndicator);  // 33 again: nothing new
    const ProgressReport later = watcher.poll({3, 1200, 2, 0, false});
    EXPECT_TRUE(later.showIndicator);
    EXPECT_FALSE(later.announceStage);
}

TEST(RecoveryProgress, RemainingAndElapsedTextsAreUtcClockTimes) {
    ProgressWatcher watcher;
    const ProgressReport report = watcher.poll({400, 60000, 100, 0, false});
    EXPECT_EQ(25, report.percent);
    EXPECT_EQ("1970-01-01 00:03:00", report.remainingText);
    EXPECT_EQ("1970-01-01 00:01:00", report.elapsedText);
    EXPECT_EQ("1970-01-02 01:00:00", formatEpochUtc(90000));
}

TEST(RecoveryProgress, SeekFinishedBeforeAnyReportGivesOneFullReport) {
    ProgressWatcher watcher;
    const ProgressReport report = watcher.poll({10, 5, 10, 3, true});
    EXPECT_TRUE(report.announceStage);
    EXPECT_EQ(100, report.percent);
    EXPECT_EQ("1970-01-01 00:00:00", report.remainingText);
    EXPECT_TRUE(report.done);
    EXPECT_TRUE(watcher.poll({10, 5, 10, 3, true}).done);
    ProgressWatcher idle;
    EXPECT_TRUE(idle.poll({0, 0, 0, 0, true}).done);  // an empty file finishes without a report
}

TEST(RecoveryProgress, WatchFollowsASeekOnAnotherThreadUntilItFinishes) {
    talwen::sqlite::SeekProgressIndicator indicator;
    std::vector<int> percents;
    std::thread seek([&] {
        indicator.begin(300);
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
            indicator.update(100, 1);
        }
        indicator.finish();
    });
    ProgressWatcher::watch(
        indicator, [&](const ProgressReport& r) { percents.push_back(r.percent); }, [] { return true; }, 5);
    seek.join();
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(100, percents.back());
    for (size_t i = 1; i < percents.size(); ++i) EXPECT_LT(percents[i - 1], percents[i]);
}
