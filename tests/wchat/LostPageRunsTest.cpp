// Carved messages without conversation grouped by runs of pages of one table.

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "wchat/LostPageRuns.h"

using talwen::wchat::LostPageRuns;

namespace {

using Page = LostPageRuns::Page;

Page page(uint32_t number, int64_t firstTime, int64_t lastTime, int64_t firstLocalId = 0, int64_t lastLocalId = 0) {
    Page p;
    p.pageNumber = number;
    p.firstTime = firstTime;
    p.lastTime = lastTime;
    p.firstLocalId = firstLocalId;
    p.lastLocalId = lastLocalId;
    p.times = {firstTime, lastTime};
    return p;
}

Page group(Page p) {
    p.tagged = true;
    return p;
}

Page person(Page p) {
    p.untaggedIncoming = true;
    return p;
}

std::vector<std::vector<uint32_t>> numbers(const std::vector<std::vector<Page>>& runs) {
    std::vector<std::vector<uint32_t>> result;
    for (const auto& run : runs) {
        result.emplace_back();
        for (const Page& p : run) result.back().push_back(p.pageNumber);
    }
    return result;
}

TEST(LostPageRunsTest, PagesJoinARunOnlyWhenNothingSaysTheyAreTwoTables) {
    struct Case {
        const char* what;
        std::vector<Page> pages;
        std::vector<std::vector<uint32_t>> runs;
    };
    const Case cases[] = {
        {"following pages, times continuing (given out of order)",
         {page(12, 500, 600), page(10, 100, 200), page(11, 200, 400)},
         {{10, 11, 12}}},
        {"a page between them is not lost", {page(10, 100, 200), page(12, 300, 400)}, {{10}, {12}}},
        {"the next page's messages are older", {page(10, 100, 200), page(11, 150, 300)}, {{10}, {11}}},
        {"row ids continue", {page(10, 100, 200, 5, 9), page(11, 300, 400, 12, 20)}, {{10, 11}}},
        {"row ids overlap: two tables", {page(10, 100, 200, 5, 9), page(11, 300, 400, 7, 20)}, {{10}, {11}}},
        {"a group's page beside a person's", {group(page(10, 100, 200)), person(page(11, 300, 400))}, {{10}, {11}}},
        {"a kind met earlier in the run",
         {person(page(10, 100, 200)), page(11, 300, 400), group(page(12, 500, 600))},
         {{10, 11}, {12}}},
        {"a page of both kinds is in no run",
         {page(10, 100, 200), group(person(page(11, 300, 400))), page(12, 500, 600)},
         {{10}, {12}}},
    };
    for (const Case& c : cases) EXPECT_EQ(c.runs, numbers(LostPageRuns::findRuns(c.pages))) << c.what;
}

TEST(LostPageRunsTest, ARunFitsASurvivingTableOnlyWhereItsIdsLeaveRoom) {
    // Live messages 1 (t 100), 2 (t 200), 5 (t 500), 6 (t 600): room for two
    // between 200 and 500, none before, any number after 600.
    const LostPageRuns::Gaps gaps = {{200, 500, 2}, {600, INT64_MAX, -1}};
    struct Case {
        const char* what;
        std::vector<int64_t> times;
        bool fits;
    };
    const Case cases[] = {
        {"two in the gap", {250, 400}, true},
        {"three in a gap of two", {250, 300, 400}, false},
        {"at the gap's edges", {200, 500}, true},
        {"before the first live message", {50}, false},
        {"between adjacent ids", {550}, false},
        {"after the last live message", {700, 800, 900}, true},
        {"one message outside", {250, 550}, false},
    };
    for (const Case& c : cases) {
        Page p;
        p.times = c.times;
        EXPECT_EQ(c.fits, LostPageRuns::fitsGaps({p}, gaps)) << c.what;
    }
    EXPECT_FALSE(LostPageRuns::fitsGaps({page(1, 250, 300), page(2, 400, 450)}, gaps)) << "four in two pages";
}

TEST(LostPageRunsTest, AMessageThatKnowsItsIdFitsOnlyTheGapAroundIt) {
    // Live messages 1 (t 100), 2 (t 200), 5 (t 500), 6 (t 600); the table gave out
    // ids up to 8, so two more fit after 600, with ids 7 and 8.
    const LostPageRuns::Gaps gaps = {{200, 500, 2, 2, 5}, {600, INT64_MAX, 2, 6, 9}};
    struct Case {
        const char* what;
        std::vector<int64_t> times;
        std::vector<int64_t> ids;  // 0: not known
        bool fits;
    };
    const Case cases[] = {
        {"in the gap around its id", {250}, {3}, true},
        {"its time outside the gap around its id", {550}, {3}, false},
        {"a live message's id", {550}, {5}, false},
        {"after the last live message, within the ids given out", {700, 800}, {7, 8}, true},
        {"an id the table never gave out", {700}, {9}, false},
        {"with others that leave no room", {250, 300, 400}, {3, 0, 0}, false},
        {"with one other that has room", {250, 300}, {3, 0}, true},
    };
    for (const Case& c : cases) {
        Page p;
        p.times = c.times;
        p.localIds = c.ids;
        EXPECT_EQ(c.fits, LostPageRuns::fitsGaps({p}, gaps)) << c.what;
    }
}

}  // namespace
