// Freed pages without evidence of their own tied by the pages freed with them.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "SelectRows.h"
#include "wchat/FreedTogether.h"
#include "wchat/RecoveryStore.h"

using talwen::common::ErrorInfo;
using namespace talwen::wchat;

namespace {

using Page = FreedTogether::Page;

Page page(int64_t owner, int64_t firstTime, int64_t lastTime) {
    Page p;
    p.owner = owner;
    p.firstTime = firstTime;
    p.lastTime = lastTime;
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

struct TieCase {
    const char* what;
    std::vector<Page> pages;  // in freelist order
    std::vector<std::pair<size_t, int64_t>> ties;
};

void expectTies(const std::vector<TieCase>& cases) {
    for (const TieCase& c : cases) EXPECT_EQ(c.ties, FreedTogether::findTies(c.pages)) << c.what;
}

TEST(FreedTogetherTest, APageGoesWithItsNeighboursOnlyWhenBothNameOneConversationAndItContinuesThem) {
    expectTies({
        {"between two pages of one conversation",
         {page(7, 100, 200), page(0, 200, 300), page(0, 310, 400), page(7, 400, 500)},
         {{1, 7}, {2, 7}}},
        {"neighbours of two conversations", {page(7, 100, 200), page(0, 300, 400), page(8, 500, 600)}, {}},
        {"a neighbour tied to several", {page(7, 100, 200), page(0, 300, 400), page(-1, 500, 600)}, {}},
        {"at the end of the list", {page(7, 100, 200), page(0, 300, 400)}, {}},
        {"at the start of the list", {page(0, 300, 400), page(7, 500, 600)}, {}},
        {"older than the page before it (moved into the list later)",
         {page(7, 100, 200), page(0, 50, 60), page(7, 400, 500)},
         {}},
        {"newer than the page after it", {page(7, 100, 200), page(0, 300, 450), page(7, 400, 500)}, {}},
        {"two pages of the stretch out of order",
         {page(7, 100, 200), page(0, 300, 350), page(0, 250, 260), page(7, 400, 500)},
         {}},
        {"a person's page between a group's", {group(page(7, 100, 200)), person(page(0, 300, 400)), page(7, 500, 600)},
         {}},
        {"one stretch's verdict does not reach the next",
         {page(7, 100, 200), page(0, 300, 400), page(8, 500, 600), page(0, 610, 620), page(8, 700, 800)},
         {{3, 8}}},
    });
}

Page ids(Page p, int64_t first, int64_t last) {
    p.firstLocalId = first;
    p.lastLocalId = last;
    return p;
}

TEST(FreedTogetherTest, APageWithOneNeighbourGoesWithItOnlyWhenTheirIdsFollowOn) {
    expectTies({
        {"ids follow on from the neighbour before", {ids(page(7, 100, 200), 1, 10), ids(page(0, 200, 300), 11, 20)},
         {{1, 7}}},
        {"ids lead on to the neighbour after", {ids(page(0, 100, 200), 1, 10), ids(page(7, 200, 300), 11, 20)},
         {{0, 7}}},
        {"a page tied so vouches for the next",
         {ids(page(7, 100, 200), 1, 10), ids(page(0, 210, 300), 11, 20), ids(page(0, 310, 400), 21, 30)},
         {{1, 7}, {2, 7}}},
        {"ids with a gap between", {ids(page(7, 100, 200), 1, 10), ids(page(0, 200, 300), 12, 20)}, {}},
        {"ids follow on, times go back", {ids(page(7, 100, 200), 1, 10), ids(page(0, 150, 300), 11, 20)}, {}},
        {"a message without its id", {ids(page(7, 100, 200), 1, 10), page(0, 200, 300)}, {}},
        {"neighbours of two conversations both following on",
         {ids(page(7, 100, 200), 1, 10), ids(page(0, 200, 300), 11, 20), ids(page(8, 300, 400), 21, 30)},
         {}},
        {"a person's page after a group's",
         {group(ids(page(7, 100, 200), 1, 10)), person(ids(page(0, 200, 300), 11, 20))},
         {}},
    });
}

class FreedTogetherStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        store = RecoveryStore::create("", &error);
        ASSERT_NE(nullptr, store);
    }
    void TearDown() override { store->close(); }

    int64_t contact(const std::string& name) {
        auto f = std::make_shared<WchatFriend>(1);
        f->setUsrName(name);
        store->insertFriends({f}, &error);
        return f->getRcFriendId();
    }
    // A carved message on a page of the file (walFrame 0) or of a log frame.
    int64_t message(uint32_t pageNumber, int64_t time, int walFrame = 0) {
        auto c = std::make_shared<WchatChat>(2);
        c->setMessage("m" + std::to_string(time));
        c->setDes(0);
        c->setPageNumber(static_cast<int32_t>(pageNumber));
        c->setCreateTime(static_cast<int32_t>(time));
        c->setWalFrame(walFrame);
        store->insertChats({c}, &error);
        return c->getRcChatId();
    }
    std::vector<std::pair<int64_t, int64_t>> ties(int deduceType) {
        auto rs = wcrtest::selectRows(store->connection(),
                                      "SELECT rcChatId, rcFriendId FROM WC_Chatroom WHERE deduceType = " +
                                          std::to_string(deduceType) + " ORDER BY rcChatId");
        std::vector<std::pair<int64_t, int64_t>> result;
        for (uint32_t row = 0; row < rs.getRowCount(); ++row)
            result.emplace_back(rs.getValue(row, 0u)->getIntegerValue(), rs.getValue(row, 1u)->getIntegerValue());
        return result;
    }

    ErrorInfo error;
    std::unique_ptr<RecoveryStore> store;
};

TEST_F(FreedTogetherStoreTest, TiesTheFilesFreedPagesInTheFreelistsOrder) {
    const int64_t alice = contact("alice");
    // Freelist order 30, 12, 41, 5: alice's messages on 30 and 5 (found by their
    // own evidence), none on 12, untied ones on 41. Page 41 of a log frame and page
    // 8, not on the freelist, stay untied.
    const int64_t first = message(30, 100);
    const int64_t between = message(41, 200);
    const int64_t between2 = message(41, 210);
    const int64_t last = message(5, 300);
    const int64_t inFrame = message(41, 205, 3);
    const int64_t notFreed = message(8, 250);
    store->insertChatRoomsOfFriend(5, {first, last}, alice, &error);
    ASSERT_TRUE(error.isSuccess());

    EXPECT_EQ(2, FreedTogether::tie(store->connection(), {30, 12, 41, 5}, 9, &error));
    EXPECT_TRUE(error.isSuccess()) << error.getMessage();
    const std::vector<std::pair<int64_t, int64_t>> expected = {{between, alice}, {between2, alice}};
    EXPECT_EQ(expected, ties(9));
    EXPECT_EQ(0u, wcrtest::selectRows(store->connection(),
                                      "SELECT 1 FROM WC_Chatroom WHERE rcChatId IN (" + std::to_string(inFrame) +
                                          ", " + std::to_string(notFreed) + ")")
                      .getRowCount());
    // Without a freelist nothing is read or tied.
    EXPECT_EQ(0, FreedTogether::tie(store->connection(), {}, 9, &error));
}

// Reading the carved messages from the first carved id on ties what reading them
// all ties: the live messages before them are never carved ones.
TEST_F(FreedTogetherStoreTest, ReadingFromTheFirstCarvedMessageTiesTheSame) {
    auto build = [this](bool fromFirstCarved) {
        store->close();
        store = RecoveryStore::create("", &error);
        const int64_t alice = contact("alice");
        auto live = std::make_shared<WchatChat>(1);
        live->setMessage("live");
        store->insertChats({live}, &error);
        const int64_t first = message(30, 100);
        message(41, 200);
        const int64_t last = message(5, 300);
        store->insertChatRoomsOfFriend(5, {first, last}, alice, &error);
        EXPECT_EQ(1, FreedTogether::tie(store->connection(), {30, 41, 5}, 9, &error, fromFirstCarved ? first : 0));
        return ties(9);
    };
    const auto all = build(false);
    EXPECT_EQ(1u, all.size());
    EXPECT_EQ(all, build(true));
}

}  // namespace
