// Attribution of carved messages by evidence beyond the contact index.

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "SelectRows.h"
#include "wchat/ChatAttribution.h"
#include "wchat/LostPageRuns.h"
#include "wchat/Md5.h"
#include "wchat/RecoveryStore.h"
#include "wchat/WchatFriendDeducer.h"
#include "wchat/WchatFriendTracer.h"

using talwen::common::ErrorInfo;
using talwen::sqlite::TableBtree;
using namespace talwen::wchat;

namespace {

using Chats = std::vector<std::shared_ptr<WchatChat>>;

std::shared_ptr<WchatChat> carved(const std::string& message, int des = 1) {
    auto c = std::make_shared<WchatChat>(2);
    c->setMessage(message);
    c->setDes(des);
    return c;
}

// A table with the given leaf and interior pages (set directly: the walk needs a file).
std::shared_ptr<TableBtree> table(const std::string& usrName, std::set<uint32_t> leaves,
                                  std::set<uint32_t> interiors = {}, uint16_t way = 2) {
    auto t = std::make_shared<TableBtree>(way);
    t->setTableName("Chat_" + Md5::hexDigest(usrName));
    const_cast<std::set<uint32_t>&>(t->getLeafPages()) = std::move(leaves);
    const_cast<std::set<uint32_t>&>(t->getInteriorPages()) = std::move(interiors);
    return t;
}

class ChatAttributionTest : public ::testing::Test {
protected:
    void SetUp() override {
        store = RecoveryStore::create("", &error);
        ASSERT_NE(nullptr, store);
    }
    void TearDown() override { store->close(); }

    // Stores and indexes the contacts; tables as given.
    void index(std::vector<std::shared_ptr<WchatFriend>> friends, std::vector<std::shared_ptr<TableBtree>> tables) {
        store->insertFriends(friends, &error);
        ASSERT_TRUE(error.isSuccess());
        tracer.indexSavedWchatFriends(friends, tables, &error);
        attribution.index(friends, tables, tracer);
        deducer = std::make_unique<WchatFriendDeducer>(store.get(), &tracer);
        deducer->setAttribution(&attribution);
    }
    static std::shared_ptr<WchatFriend> contact(const std::string& name, uint16_t way = 1,
                                                std::vector<std::string> members = {}) {
        auto f = std::make_shared<WchatFriend>(way);
        f->setUsrName(name);
        for (const std::string& m : members) f->addChatRoomMember(m);
        return f;
    }
    std::string usrNameOf(int64_t id) {
        auto rs = wcrtest::selectRows(store->connection(),
                                      "SELECT ifnull(usrName, '') FROM WC_Friend WHERE rcFriendId = " + std::to_string(id));
        return rs.getRowCount() ? rs.getValue(0, 0u)->getTextValue() : "?";
    }

    ErrorInfo error;
    std::unique_ptr<RecoveryStore> store;
    WchatFriendTracer tracer;
    ChatAttribution attribution;
    std::unique_ptr<WchatFriendDeducer> deducer;
};

TEST_F(ChatAttributionTest, ConversationsByTheStrongestEvidence) {
    // alice is live with a table of leaf 3 and interior page 4; carol's row was
    // carved; dave's table was dropped and his name survives only in a member list;
    // erin's table has no name known anywhere.
    index({contact("alice"), contact("carol", 2), contact("room@chatroom", 1, {"alice", "dave", "frank"})},
          {table("alice", {3}, {4}), table("carol", {5}), table("dave", {6, 7}), table("erin", {8, 9})});
    struct Case {
        uint32_t page;
        uint16_t type;
        std::string owner;  // "" for a nameless made-up contact
    };
    const Case cases[] = {
        {3, WchatFriendDeducer::kRoomPageOfKnownTable, "alice"},
        {4, WchatFriendDeducer::kRoomInteriorPageOfKnownTable, "alice"},
        {5, WchatFriendDeducer::kRoomPageOfKnownTable, "carol"},
        {6, WchatFriendDeducer::kRoomPageOfNamedOwner, "dave"},
        {8, WchatFriendDeducer::kRoomPageOfMadeUpOwner, ""},
    };
    for (const Case& c : cases) {
        std::set<int64_t> ids;
        EXPECT_EQ(c.type, deducer->deduceChatRoom(c.page, {carved("hi")}, ids)) << c.page;
        ASSERT_EQ(1u, ids.size()) << c.page;
        EXPECT_EQ(c.owner, usrNameOf(*ids.begin())) << c.page;
    }
    // Later pages of the same tables reuse the same contact: one per table, not per page.
    std::set<int64_t> first, second;
    deducer->deduceChatRoom(6, {carved("a")}, first);
    deducer->deduceChatRoom(7, {carved("b")}, second);
    EXPECT_EQ(first, second);
    deducer->deduceChatRoom(8, {carved("a")}, first);
    deducer->deduceChatRoom(9, {carved("b")}, second);
    EXPECT_EQ(first, second);
}

TEST_F(ChatAttributionTest, APageOfALiveTableIsNotClaimedByADroppedOne) {
    // carol's table was dropped and its pages reused by the live chat room's table:
    // the walk from her stale schema entry leads into the room's b-tree (10, 12)
    // besides pages no live table holds (13, 14).
    index({contact("room@chatroom"), contact("carol", 2)},
          {table("room@chatroom", {10, 11}, {12}, 1), table("carol", {10, 13}, {12, 14})});
    struct Case {
        uint32_t page;
        uint16_t type;
        std::string owner;
    };
    const Case cases[] = {
        {10, WchatFriendDeducer::kRoomPageOfKnownTable, "room@chatroom"},
        {12, WchatFriendDeducer::kRoomInteriorPageOfKnownTable, "room@chatroom"},
        {13, WchatFriendDeducer::kRoomPageOfKnownTable, "carol"},
        {14, WchatFriendDeducer::kRoomInteriorPageOfKnownTable, "carol"},
    };
    for (const Case& c : cases) {
        std::set<int64_t> ids;
        EXPECT_EQ(c.type, deducer->deduceChatRoom(c.page, {carved("hi")}, ids)) << c.page;
        ASSERT_EQ(1u, ids.size()) << c.page;
        EXPECT_EQ(c.owner, usrNameOf(*ids.begin())) << c.page;
    }
}

TEST_F(ChatAttributionTest, AMadeUpOwnerIsNamedWhenItsNameTurnsUpLater) {
    index({contact("alice")}, {table("gina", {8})});
    std::set<int64_t> ids;
    EXPECT_EQ(WchatFriendDeducer::kRoomPageOfMadeUpOwner, deducer->deduceChatRoom(8, {carved("hi")}, ids));
    ASSERT_EQ(1u, ids.size());
    store->insertChatRoomsOfChat(WchatFriendDeducer::kRoomPageOfMadeUpOwner, 1, ids, &error);
    EXPECT_EQ("", usrNameOf(*ids.begin()));
    // A later page names gina as a chat-room sender.
    deducer->noteNames(*carved("gina:\nhello"));
    EXPECT_EQ(1, deducer->proveMadeUpOwners(&error));
    EXPECT_EQ("gina", usrNameOf(*ids.begin()));
    auto rs = wcrtest::selectRows(store->connection(), "SELECT deduceType FROM WC_Chatroom");
    EXPECT_EQ(WchatFriendDeducer::kRoomPageOfNamedOwner, rs.getValue(0, 0u)->getIntegerValue());
}

TEST_F(ChatAttributionTest, SendersByNameAndAmbiguousPagesTiedToNone) {
    index({contact("alice"), contact("bob", 2), contact("r1@chatroom", 1, {"alice", "bob"}),
           contact("r2@chatroom", 1, {"alice", "bob"}), contact("r3@chatroom", 1, {"alice", "zed"})},
          {});
    uint16_t type = 0;
    std::set<int64_t> ids;
    // A carved contact row stands for its sender; a sender without any row gets one
    // contact made up for the name, the same for every message; never the chat room.
    ASSERT_TRUE(deducer->deduceChatFriend(*carved("bob:\nhi"), type, ids));
    EXPECT_EQ(WchatFriendDeducer::kFriendByTaggedUserName, type);
    EXPECT_EQ("bob", usrNameOf(*ids.begin()));
    ASSERT_TRUE(deducer->deduceChatFriend(*carved("zed:\nhi"), type, ids));
    EXPECT_EQ(WchatFriendDeducer::kFriendMadeUpForUsrName, type);
    const int64_t zed = *ids.begin();
    EXPECT_EQ("zed", usrNameOf(zed));
    int64_t live = 0;
    ASSERT_TRUE(deducer->deduceLiveChatFriend(*carved("zed:\nagain"), 99, type, live));
    EXPECT_EQ(zed, live);
    EXPECT_EQ(WchatFriendDeducer::kFriendMadeUpForUsrName, type);
    // A live group message whose sender's row is gone but was carved: that row,
    // not the chat room (99) that owns the table.
    ASSERT_TRUE(deducer->deduceLiveChatFriend(*carved("bob:\nlive"), 99, type, live));
    EXPECT_EQ("bob", usrNameOf(live));
    EXPECT_EQ(WchatFriendDeducer::kFriendByTaggedUserName, type);

    // Two chat rooms list both senders: the page is tied to neither.
    EXPECT_EQ(0, deducer->deduceChatRoom(20, {carved("alice:\na"), carved("bob:\nb")}, ids));
    EXPECT_TRUE(ids.empty());
    // One chat room lists both.
    EXPECT_EQ(WchatFriendDeducer::kRoomByTaggedMembers,
              deducer->deduceChatRoom(21, {carved("alice:\na"), carved("zed:\nb")}, ids));
    EXPECT_EQ("r3@chatroom", usrNameOf(*ids.begin()));
}

TEST_F(ChatAttributionTest, ARoomWhoseMembersAreUnknownMayBeThePagesOwner) {
    // r4's contact row was carved without its member list: a page of alice and zed
    // may be its own as well as r3's. Listed by a second row, r4 is known again.
    index({contact("r3@chatroom", 1, {"alice", "zed"}), contact("r4@chatroom", 2)}, {});
    std::set<int64_t> ids;
    EXPECT_EQ(0, deducer->deduceChatRoom(21, {carved("alice:\na"), carved("zed:\nb")}, ids));
    EXPECT_TRUE(ids.empty());

    const std::vector<std::shared_ptr<WchatFriend>> rows = {
        contact("r3@chatroom", 1, {"alice", "zed"}), contact("r4@chatroom", 2), contact("r4@chatroom", 1, {"bob"})};
    store->insertFriends(rows, &error);
    WchatFriendTracer listed;
    listed.indexSavedWchatFriends(rows, {}, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    EXPECT_FALSE(listed.hasChatRoomWithoutMembers("r3@chatroom"));
    EXPECT_TRUE(tracer.hasChatRoomWithoutMembers("r3@chatroom"));
    EXPECT_FALSE(tracer.hasChatRoomWithoutMembers("r4@chatroom"));
}

TEST_F(ChatAttributionTest, TheOnePeerNamedByFromUserNameBesidesTheAccountOwner) {
    index({contact("alice")}, {});
    const std::string voice = "<msg><voicemsg fromusername=\"%s\" /></msg>";
    auto named = [&](const std::string& who, int des, uint16_t way) {
        auto c = std::make_shared<WchatChat>(way);
        std::string text = voice;
        text.replace(text.find("%s"), 2, who);
        c->setMessage(text);
        c->setDes(des);
        return c;
    };
    // The owner's own sent live messages name the account owner.
    deducer->noteNames(*named("me_owner", 0, 1));
    std::set<int64_t> ids;
    EXPECT_EQ(WchatFriendDeducer::kRoomByFromUserName,
              deducer->deduceChatRoom(30, {named("me_owner", 0, 2), named("henry", 1, 2)}, ids));
    ASSERT_EQ(1u, ids.size());
    EXPECT_EQ("henry", usrNameOf(*ids.begin()));
    // Two peers: no conversation.
    EXPECT_EQ(0, deducer->deduceChatRoom(31, {named("henry", 1, 2), named("ivan", 1, 2)}, ids));
}

TEST_F(ChatAttributionTest, LostPagesGoByRunsOfOneTableAndOnlyWhereNoKnownConversationFits) {
    // Every name known has its table: a run of a table nothing names is nobody's known.
    index({contact("alice"), contact("bob"), contact("room@chatroom", 1, {"alice", "bob"})},
          {table("alice", {3}, {}, 1), table("bob", {4}, {}, 1), table("room@chatroom", {5}, {}, 1)});
    const int64_t alice = tracer.findLiveRcFriendIdByUsrName("alice");
    // alice's live messages 1, 2, 3, 10 at 100, 200, 300, 1000: six deleted ones fit
    // between 300 and 1000, none before 100.
    std::vector<std::shared_ptr<WchatChat>> lives;
    const std::pair<int, int> liveRows[] = {{1, 100}, {2, 200}, {3, 300}, {10, 1000}};
    for (const auto& [id, time] : liveRows) {
        auto c = std::make_shared<WchatChat>(1);
        c->setMesLocalId(id);
        c->setCreateTime(time);
        c->setMessage("live");
        lives.push_back(c);
    }
    store->insertChats(lives, &error);
    ASSERT_TRUE(error.isSuccess());
    std::set<int64_t> liveIds;
    for (const auto& c : lives) liveIds.insert(c->getRcChatId());
    store->insertChatRoomsOfFriend(WchatFriendDeducer::kRoomLiveOwner, liveIds, alice, &error);

    struct Lost {
        uint32_t page;
        int time;
        const char* text;
    };
    const Lost lost[] = {
        {40, 10, "a"}, {40, 20, "b"}, {41, 30, "c"},      // a run before alice's first message
        {50, 310, "d"}, {51, 320, "e"},                    // could be alice's deleted ones
        {60, 15, "f"},                                     // one page alone
        {70, 50, "alice:\ng"}, {71, 60, "bob:\nh"},        // the known room lists both senders
    };
    std::vector<std::shared_ptr<WchatChat>> chats;
    for (const Lost& l : lost) {
        auto c = carved(l.text);
        c->setPageNumber(static_cast<int32_t>(l.page));
        c->setCreateTime(l.time);
        c->setWalFrame(0);
        chats.push_back(c);
    }
    store->insertChats(chats, &error);
    ASSERT_TRUE(error.isSuccess());

    EXPECT_EQ(1, LostPageRuns::tieRuns(store->connection(), WchatFriendDeducer::kRoomLiveOwner,
                                       WchatFriendDeducer::kRoomRunOfLostPages,
                                       [&](uint32_t first, const std::set<std::string>& senders, bool person) {
                                           return deducer->makeUpRunOwner(first, senders, person);
                                       },
                                       &error));
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    auto rs = wcrtest::selectRows(store->connection(),
                                  "SELECT C.message, R.rcFriendId, R.deduceType, ifnull(F.usrName, ''), F.nickName "
                                  "FROM WC_Chatroom R JOIN WC_Chat C ON C.rcChatId = R.rcChatId JOIN WC_Friend F ON "
                                  "F.rcFriendId = R.rcFriendId WHERE C.obtainWay = 2 ORDER BY C.message");
    ASSERT_EQ(3u, rs.getRowCount());
    const std::string texts[] = {"a", "b", "c"};
    for (size_t row = 0; row < 3; ++row) {
        EXPECT_EQ(texts[row], rs.getValue(row, 0u)->getTextValue());
        EXPECT_EQ(rs.getValue(0, 1u)->getIntegerValue(), rs.getValue(row, 1u)->getIntegerValue());
        EXPECT_EQ(WchatFriendDeducer::kRoomRunOfLostPages, rs.getValue(row, 2u)->getIntegerValue());
        EXPECT_EQ("", rs.getValue(row, 3u)->getTextValue());
        EXPECT_EQ(0u, rs.getValue(row, 4u)->getTextValue().rfind("未知联系人-", 0));
    }
    // The runs left untied are one unknown conversation each, a page alone its own.
    auto groups = wcrtest::selectRows(store->connection(),
                                      "SELECT pageNumber, runPage FROM WC_LostPageRun ORDER BY pageNumber");
    ASSERT_EQ(4u, groups.getRowCount());
    const std::pair<int64_t, int64_t> runOf[] = {{50, 50}, {51, 50}, {70, 70}, {71, 70}};
    for (size_t row = 0; row < 4; ++row) {
        EXPECT_EQ(runOf[row].first, groups.getValue(row, 0u)->getIntegerValue());
        EXPECT_EQ(runOf[row].second, groups.getValue(row, 1u)->getIntegerValue());
    }

    // zoe turns up without a table: a person's run may now be hers, and stays untied.
    deducer->noteNames(*carved("zoe:\nhi"));
    std::vector<std::shared_ptr<WchatChat>> more;
    for (const uint32_t page : {90u, 91u}) {
        auto c = carved("later");
        c->setPageNumber(static_cast<int32_t>(page));
        c->setCreateTime(static_cast<int32_t>(page));
        c->setWalFrame(0);
        more.push_back(c);
    }
    store->insertChats(more, &error);
    EXPECT_EQ(0, LostPageRuns::tieRuns(store->connection(), WchatFriendDeducer::kRoomLiveOwner,
                                       WchatFriendDeducer::kRoomRunOfLostPages,
                                       [&](uint32_t first, const std::set<std::string>& senders, bool person) {
                                           return deducer->makeUpRunOwner(first, senders, person);
                                       },
                                       &error));
}

}  // namespace
