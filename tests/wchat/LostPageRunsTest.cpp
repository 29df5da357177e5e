// Carved messages without conversation grouped by runs of pages of one table.

#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include "wchat/LostPageRuns.h"
#include "wchat/RecoveryStore.h"

using talwen::wchat::LostPageRuns;
using talwen::wchat::RecoveryStore;
using talwen::wchat::WchatChat;

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

TEST(LostPageRunsTest, APageGoesToTheOneSurvivingTableOfItsKindThatCouldHaveHeldIt) {
    // alice's table and the group's have room for deleted messages 3 and 4
    // between t 200 and t 500, alice's also for 7 and 8 after t 600; bob's only
    // for 11 to 15.
    using Gap = LostPageRuns::Gap;
    const LostPageRuns::Gaps room = {Gap{200, 500, 2, 2, 5}};
    const std::vector<std::pair<int64_t, LostPageRuns::Gaps>> tables = {
        {1, {Gap{200, 500, 2, 2, 5}, Gap{600, INT64_MAX, 2, 6, 9}}},  // alice
        {2, {Gap{100, 150, 5, 10, 16}}},                                // bob: other ids
        {3, room},                                                      // the group
    };
    LostPageRuns::Surviving surviving;
    surviving.names = {{1, "alice"}, {2, "bob"}, {3, "1234@chatroom"}};
    surviving.listsMembers = [](const std::string& room, const std::set<std::string>& senders) {
        return room == "1234@chatroom" && senders == std::set<std::string>{"carol"};
    };
    const auto make = [](std::vector<int64_t> ids, std::vector<int64_t> times, bool tagged, bool untagged,
                         std::set<std::string> senders = {}) {
        Page p;
        p.localIds = std::move(ids);
        p.times = std::move(times);
        p.tagged = tagged;
        p.untaggedIncoming = untagged;
        p.senders = std::move(senders);
        return p;
    };
    struct Case {
        const char* what;
        Page page;
        int64_t owner;
    };
    const Case cases[] = {
        {"a person's page fitting alice alone", make({7, 8}, {700, 800}, false, true), 1},
        {"a person's page whose ids only alice's table left free (bob's gap is elsewhere)",
         make({3}, {300}, false, true), 1},
        {"a group's page whose sender the group lists", make({3, 4}, {300, 400}, true, false, {"carol"}), 3},
        {"a group's page with a sender the group does not list", make({3}, {300}, true, false, {"dave"}), 0},
        {"a page that shows no kind (outgoing messages only)", make({3}, {300}, false, false), 0},
        {"a page of both kinds", make({3}, {300}, true, true, {"carol"}), 0},
        {"a message without its id", make({3, 0}, {300, 400}, false, true), 0},
        {"ids no table left room for", make({20}, {300}, false, true), 0},
    };
    for (const Case& c : cases) EXPECT_EQ(c.owner, LostPageRuns::onlyTableFitting(c.page, tables, surviving)) << c.what;

    // Two people's tables that could both have held it: neither gets it; nor does
    // a table whose owner's name is unknown.
    auto twice = tables;
    twice.push_back({4, {Gap{250, 350, 1, 2, 4}}});
    EXPECT_EQ(0, LostPageRuns::onlyTableFitting(make({3}, {300}, false, true), twice, surviving)) << "two fit";
    LostPageRuns::Surviving nameless = surviving;
    nameless.names.erase(1);
    EXPECT_EQ(0, LostPageRuns::onlyTableFitting(make({7}, {700}, false, true), tables, nameless)) << "no name";
}

// The gaps built while the live messages are copied, table after table, are
// those read back from the store in owner and id order.
TEST(LostPageRunsTest, GapsBuiltWhileCopyingAreThoseReadFromTheStore) {
    talwen::common::ErrorInfo error;
    std::unique_ptr<RecoveryStore> store = RecoveryStore::create("", &error);
    ASSERT_NE(nullptr, store);
    struct Row {
        int32_t localId;
        int32_t createTime;  // 0: NULL, left out of the gaps
    };
    // Tables in copy order, owners not in id order.
    const std::vector<std::pair<int64_t, std::vector<Row>>> tables = {
        {3, {{4, 400}, {5, 500}, {9, 900}, {10, 0}, {12, 1200}}},
        {1, {{1, 100}, {2, 200}, {7, 700}}},
        {2, {{2, 250}}},
        {5, {{1, 10}, {2, 20}, {3, 30}}},
    };
    LostPageRuns::GapBuilder builder;
    for (const auto& [owner, rows] : tables) {
        std::vector<std::shared_ptr<WchatChat>> chats;
        for (const Row& row : rows) {
            auto chat = std::make_shared<WchatChat>(RecoveryStore::kObtainLive);
            chat->setMesLocalId(row.localId);
            if (row.createTime != 0) chat->setCreateTime(row.createTime);
            else chat->setNull(WchatChat::kCreateTimeFlag);
            chats.push_back(chat);
        }
        store->insertChats(chats, &error);
        std::set<int64_t> ids;
        for (const auto& chat : chats) ids.insert(chat->getRcChatId());
        store->insertChatRoomsOfFriend(1, ids, owner, &error);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
        for (const Row& row : rows)
            if (row.createTime != 0) builder.add(owner, row.localId, row.createTime);
    }
    // A carved message and a message tied otherwise are no live message of a table.
    auto carved = std::make_shared<WchatChat>(RecoveryStore::kObtainCarved);
    carved->setMesLocalId(6);
    carved->setCreateTime(600);
    store->insertChats({carved}, &error);
    store->insertChatRoomsOfFriend(1, {carved->getRcChatId()}, 1, &error);
    store->insertChatRoomsOfFriend(2, {1}, 7, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();

    // Last ids given out: beyond the last message, equal to it, below it (not
    // believed), none.
    const std::map<int64_t, int64_t> lastIds = {{1, 9}, {2, 2}, {3, 11}};
    const auto flat = [](const std::vector<std::pair<int64_t, LostPageRuns::Gaps>>& gaps) {
        std::vector<std::vector<int64_t>> out;
        for (const auto& [owner, list] : gaps)
            for (const auto& g : list) out.push_back({owner, g.fromTime, g.toTime, g.room, g.fromId, g.toId});
        return out;
    };
    EXPECT_TRUE(builder.inOrder());
    const auto read = LostPageRuns::readGaps(store->connection(), 1, lastIds, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    EXPECT_EQ(flat(read), flat(builder.finish(lastIds)));
    const std::vector<std::vector<int64_t>> expected = {
        {1, 200, 700, 4, 2, 7},  {1, 700, INT64_MAX, 2, 7, 10},  // room up to the last id given out
        {2, INT64_MIN, 250, 1, 0, 2},                             // nothing after the last id
        {3, INT64_MIN, 400, 3, 0, 4}, {3, 500, 900, 3, 5, 9},     // the message without time left out:
        {3, 900, 1200, 2, 9, 12},    {3, 1200, INT64_MAX, -1, 12, INT64_MAX},  // a last id below: any number
        {5, 30, INT64_MAX, -1, 3, INT64_MAX},                     // no last id known
    };
    EXPECT_EQ(expected, flat(read));
    EXPECT_EQ(SQLITE_OK, store->close());

    // Ids out of order or repeated cannot stand for the sorted read.
    for (const std::vector<int64_t>& ids : {std::vector<int64_t>{5, 4}, std::vector<int64_t>{5, 5}}) {
        LostPageRuns::GapBuilder unordered;
        for (const int64_t id : ids) unordered.add(1, id, 100);
        EXPECT_FALSE(unordered.inOrder()) << ids[1];
    }
}

}  // namespace
