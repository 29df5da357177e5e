// Contact index, deduction rules and the index of live messages.

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <climits>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "wchat/Md5.h"
#include "sqldb/ResultSet.h"
#include "wchat/SavedChatIndex.h"
#include "sqldb/SqliteAssistant.h"
#include "wchat/WchatFriendDeducer.h"
#include "wchat/WchatFriendTracer.h"
#include "wchat/RecoveryStore.h"
#include "wchat/WchatTranslator.h"
#include "sqlite_recovery/FieldValue.h"
#include "sqlite_recovery/Record.h"
#include <functional>

using talwen::common::ErrorInfo;
using talwen::sqlite::TableBtree;
using namespace talwen::sqldb;
using namespace talwen::wchat;

namespace {

using Friends = std::vector<std::shared_ptr<WchatFriend>>;
using Tables = std::vector<std::shared_ptr<TableBtree>>;
using Ids = std::set<int64_t>;

std::shared_ptr<WchatFriend> contact(int64_t id, const std::string& usrName, uint16_t obtainWay = 1,
                                     std::vector<std::string> members = {}) {
    auto f = std::make_shared<WchatFriend>(obtainWay);
    f->setUsrName(usrName);
    f->setRcFriendId(id);
    for (const std::string& m : members) f->addChatRoomMember(m);
    return f;
}

// A conversation table whose leaf pages are already known. TableBtree only
// collects pages by walking a file, so the pages come from a tiny fake walk.
std::shared_ptr<TableBtree> chatTable(const std::string& usrName, std::vector<uint32_t> leaves) {
    auto table = std::make_shared<TableBtree>(1);
    table->setTableName("Chat_" + Md5::hexDigest(usrName));
    // A leaf page image (type 13) per page; processInteriorPage records it as a leaf.
    TableBtree::PageView view;
    view.pageSize = view.usableSize = 512;
    view.pages = 64;
    view.data = talwen::sqlite::ByteArray(new uint8_t[512 * 64]());
    std::set<uint32_t> interior;
    auto& leafSet = const_cast<std::set<uint32_t>&>(table->getLeafPages());
    for (uint32_t page : leaves) {
        uint8_t* bytes = view.data.get() + (page - 1) * 512;
        bytes[page == 1 ? 100 : 0] = 13;
        ErrorInfo e;
        TableBtree::processInteriorPage(view, page, bytes, interior, leafSet, &e);
    }
    return table;
}

std::shared_ptr<WchatChat> chat(const std::string& message, int64_t svrId = 0, int32_t createTime = 0) {
    auto c = std::make_shared<WchatChat>(2);
    c->setMessage(message);
    if (svrId) c->setMesSvrId(svrId);
    if (createTime) c->setCreateTime(createTime);
    return c;
}

TEST(WchatFriendTracerTest, IndexesNamesMembersHashesAndPages) {
    WchatFriendTracer tracer;
    ErrorInfo error;
    tracer.indexSavedWchatFriends(
        {contact(1, "alice"), contact(2, "alice"), contact(3, "bob", 2), contact(4, ""),
         contact(5, "room@chatroom", 1, {"alice", "bob"}), contact(6, "r2@chatroom", 1, {"alice"})},
        {chatTable("alice", {3, 4}), chatTable("nobody", {4, 5}), chatTable("bob", {})}, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();

    EXPECT_EQ((Ids{1, 2}), tracer.findRcFriendIdsByUsrName("alice"));
    EXPECT_EQ(1, tracer.findLiveRcFriendIdByUsrName("alice"));
    EXPECT_EQ(0, tracer.findLiveRcFriendIdByUsrName("bob"));  // carved contact only
    EXPECT_EQ((Ids{3}), tracer.findRcFriendIdsByUsrName("bob"));
    // An empty user name is not indexed, not even by its digest.
    EXPECT_TRUE(tracer.findRcFriendIdsByUsrName("").empty());
    EXPECT_EQ(0, tracer.findRcFriendIdByHashedUsrName(Md5::hexDigest("")));
    EXPECT_EQ(1, tracer.findRcFriendIdByHashedUsrName(Md5::hexDigest("alice")));

    EXPECT_EQ((std::set<std::string>{"r2@chatroom", "room@chatroom"}),
              tracer.findGroupsOfAllMembers({"alice"}));
    EXPECT_EQ((std::set<std::string>{"room@chatroom"}), tracer.findGroupsOfAllMembers({"alice", "bob"}));
    EXPECT_TRUE(tracer.findGroupsOfAllMembers({"alice", "zed"}).empty());
    EXPECT_TRUE(tracer.findGroupsOfAllMembers({}).empty());

    EXPECT_EQ((Ids{1}), tracer.findRcFriendIdsByPage(3));
    EXPECT_EQ((Ids{1}), tracer.findRcFriendIdsByPage(4));
    EXPECT_EQ(2u, tracer.findHashedUsrNamesByPage(4).size());
    EXPECT_TRUE(tracer.findRcFriendIdsByPage(5).empty());
    EXPECT_EQ(1u, tracer.findHashedUsrNamesByPage(5).size());

    std::ostringstream dump;
    tracer.dump(dump);
    EXPECT_NE(std::string::npos, dump.str().find("---- unToRcFriendIdss ----\nalice: 1 2\n"));
    EXPECT_NE(std::string::npos, dump.str().find("---- lpnToRcFriendIdss ----\n3: 1\n4: 1\n5:\n"));
}

TEST(WchatFriendTracerTest, AContactWithoutRowIdStopsTheIndex) {
    WchatFriendTracer tracer;
    ErrorInfo error;
    auto unsaved = std::make_shared<WchatFriend>(1);
    unsaved->setUsrName("x");
    tracer.indexSavedWchatFriends({contact(1, "a"), unsaved, contact(3, "room", 1, {"a"})},
                                  {chatTable("a", {2})}, &error);
    EXPECT_EQ("No 'rcFriendId' or NULL!", error.getMessage());
    EXPECT_EQ("indexSavedWchatFriends", error.getFunctionName());
    EXPECT_EQ((Ids{1}), tracer.findRcFriendIdsByUsrName("a"));
    EXPECT_TRUE(tracer.findGroupsOfAllMembers({"a"}).empty());
    EXPECT_TRUE(tracer.findHashedUsrNamesByPage(2).empty());
}

// A store with the contacts that the deduction refers to.
class DeducerTest : public ::testing::Test {
protected:
    void SetUp() override {
        store = RecoveryStore::create("", &error);
        ASSERT_NE(nullptr, store) << error.getMessage();
        db = store->connection();
    }
    void index(const Friends& friends, const Tables& tables) {
        tracer.indexSavedWchatFriends(friends, tables, &error);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    }
    size_t madeUpContacts() {
        ResultSet rs;
        SqliteAssistant::query(db, 0, "SELECT nickName FROM WC_Friend WHERE obtainWay = 101", rs,
                               &error);
        return rs.getRowCount();
    }
    std::unique_ptr<RecoveryStore> store;
    sqlite3* db = nullptr;
    ErrorInfo error;
    WchatFriendTracer tracer;
};

TEST_F(DeducerTest, LiveSender) {
    index({contact(1, "alice"), contact(2, "bob")}, {});
    WchatFriendDeducer deducer(store.get(), &tracer);
    struct Case {
        const char* message;
        int64_t ownerId;
        bool found;
        uint16_t type;
        int64_t id;
    } cases[] = {
        {"alice:\nhi", 9, true, 11, 1},
        {"zed:\n<msg fromusername=\"bob\" />", 9, true, 12, 2},
        {"<msg fromusername=\"zed\" />", 9, true, 13, 9},
        {"plain", 0, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        WchatChat live(1);
        live.setMessage(c.message);
        uint16_t type = 0;
        int64_t id = 0;
        EXPECT_EQ(c.found, deducer.deduceLiveChatFriend(live, c.ownerId, type, id));
        if (c.found) {
            EXPECT_EQ(c.type, type);
            EXPECT_EQ(c.id, id);
        }
    }
}

TEST_F(DeducerTest, CarvedSenderAndConversation) {
    index({contact(1, "alice"), contact(2, "alice"), contact(3, "bob"), contact(4, "x"),
           contact(5, "room@chatroom", 1, {"alice", "bob"})},
          {chatTable("bob", {7}), chatTable("x", {7})});
    WchatFriendDeducer deducer(store.get(), &tracer);

    uint16_t type = 0;
    Ids ids;
    EXPECT_TRUE(deducer.deduceChatFriend(*chat("alice:\nhi"), type, ids));
    EXPECT_EQ(11, type);
    EXPECT_EQ((Ids{1, 2}), ids);
    EXPECT_TRUE(deducer.deduceChatFriend(*chat("zed:\n<a fromusername=\"bob\"/>"), type, ids));
    EXPECT_EQ(12, type);
    EXPECT_FALSE(deducer.deduceChatFriend(*chat("hello"), type, ids));
    EXPECT_TRUE(ids.empty());

    // Page 7 is a leaf of two known conversations.
    EXPECT_EQ(2, deducer.deduceChatRoom(7, {chat("a")}, ids));
    EXPECT_EQ((Ids{3, 4}), ids);
    // Elsewhere: the chat room of all tagged senders ...
    EXPECT_EQ(4, deducer.deduceChatRoom(9, {chat("alice:\nx"), chat("bob:\ny")}, ids));
    EXPECT_EQ((Ids{5}), ids);
    // ... none when no chat room lists them all; fromusername is not consulted then.
    EXPECT_EQ(0, deducer.deduceChatRoom(9, {chat("alice:\nx"), chat("x:\n<a fromusername=\"bob\"/>")},
                                        ids));
    EXPECT_TRUE(ids.empty());
    // Without tags, the senders named by fromusername.
    EXPECT_EQ(5, deducer.deduceChatRoom(9, {chat("<a fromusername=\"bob\"/>")}, ids));
    EXPECT_EQ((Ids{3}), ids);
    EXPECT_EQ(0u, madeUpContacts());
}

TEST_F(DeducerTest, UnknownOwnerGetsOneMadeUpContactEvenUnderConcurrency) {
    index({contact(1, "alice")}, {chatTable("ghost", {11, 12}), chatTable("ghost2", {13})});
    WchatFriendDeducer deducer(store.get(), &tracer);
    std::vector<std::thread> threads;
    std::vector<Ids> results(8);
    std::vector<uint16_t> types(8);
    for (size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] {
            types[i] = deducer.deduceChatRoom(11 + static_cast<uint32_t>(i % 3), {chat("x")}, results[i]);
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(2u, madeUpContacts());
    for (size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(3, types[i]);
        EXPECT_EQ(1u, results[i].size());
        // Pages 11 and 12 belong to the same table and share its contact.
        EXPECT_EQ(results[i % 3 == 2 ? 2 : (i % 3)], results[i]);
    }
    EXPECT_EQ(results[0], results[1]);
    EXPECT_NE(results[0], results[2]);

    ResultSet rs;
    SqliteAssistant::query(db, 0,
                           "SELECT usrName, nickName, conRemark, validFlag FROM WC_Friend "
                           "WHERE obtainWay = 101 ORDER BY nickName",
                           rs, &error);
    ASSERT_EQ(2u, rs.getRowCount());
    EXPECT_TRUE(rs.getValue(0, "usrName")->isNull());
    EXPECT_EQ("未知联系人-1", rs.getValue(0, "nickName")->getTextValue());
    EXPECT_EQ("未知联系人-2", rs.getValue(1, "conRemark")->getTextValue());
    EXPECT_EQ(0x400C, rs.getValue(0, "validFlag")->getIntegerValue());
    EXPECT_EQ(3u, tracer.nextPlaceholderNo());
}

TEST(SavedChatIndexTest, KeysAreServerIdsElseCreationTimes) {
    SavedChatIndex index;
    auto bySvr = chat("a", 0x1234, 100);
    auto sameLowByte = chat("b", 0x5534, 0);
    auto byTime = chat("c", 0, 200);
    auto nullSvr = chat("d", 0, 300);
    nullSvr->setNull(WchatChat::kMesSvrIdFlag);
    auto noKey = std::make_shared<WchatChat>(1);
    EXPECT_EQ(3u, index.addAll({bySvr, byTime, nullSvr, noKey}));
    EXPECT_FALSE(index.add(*noKey));

    EXPECT_TRUE(index.contains(*chat("x", 0x1234, 999)));
    EXPECT_FALSE(index.contains(*sameLowByte));
    // Without a server id, the creation time of any live message without one.
    EXPECT_TRUE(index.contains(*chat("x", 0, 200)));
    EXPECT_TRUE(index.contains(*chat("x", 0, 300)));
    // A server id key is never compared by time.
    EXPECT_FALSE(index.contains(*chat("x", 0x9999, 200)));
    EXPECT_FALSE(index.contains(*chat("x", 0, 100)));
    EXPECT_FALSE(index.contains(*noKey));
    index.clear();
    EXPECT_FALSE(index.contains(*bySvr));
}


// Many keys, spread over several growths of the index (or into room reserved
// for fewer, as many or more) and including the extreme values, answer exactly as
// a plain set of the same keys does.
TEST(SavedChatIndexTest, ManyKeysAnswerLikeAPlainSet) {
    for (const size_t reserved : {size_t(0), size_t(7), size_t(13000), size_t(40000)}) {
        SCOPED_TRACE(reserved);
        SavedChatIndex index;
        index.reserve(reserved);
        std::set<int64_t> svrIds;
        std::set<int32_t> times;
        std::vector<std::shared_ptr<WchatChat>> batch;
        uint64_t state = 12345;
        const auto next = [&state] {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            return state;
        };
        for (int i = 0; i < 20000; ++i) {
            // Server ids that share their low bits, negative ones, and the two extremes.
            int64_t svrId = static_cast<int64_t>(next() & 0xFFFFFF00u) | 0x34;
            if (i % 7 == 0) svrId = -svrId;
            if (i == 10) svrId = INT64_MIN;
            if (i == 11) svrId = INT64_MAX;
            int32_t time = static_cast<int32_t>(next() >> 40) - (1 << 22);
            if (time == 0) time = 1;  // a zero time is not set by chat()
            auto c = chat("m", i % 3 == 0 ? 0 : svrId, time);
            if (i % 3 == 0) times.insert(time); else svrIds.insert(svrId);
            batch.push_back(c);
            if (batch.size() == 1000) {
                EXPECT_EQ(1000u, index.addAll(batch));
                batch.clear();
            }
        }
        for (const int64_t id : svrIds) ASSERT_TRUE(index.contains(*chat("x", id, 0))) << id;
        for (const int32_t time : times) ASSERT_TRUE(index.contains(*chat("x", 0, time))) << time;
        int misses = 0;
        for (int i = 0; i < 20000; ++i) {
            const int64_t svrId = static_cast<int64_t>(next());
            const int32_t time = static_cast<int32_t>(next() >> 32) | 1;
            if (svrId != 0) {
                EXPECT_EQ(svrIds.count(svrId) != 0, index.contains(*chat("x", svrId, 0)));
            }
            EXPECT_EQ(times.count(time) != 0, index.contains(*chat("x", 0, time)));
            misses += times.count(time) == 0 ? 1 : 0;
        }
        EXPECT_GT(misses, 0);
        index.clear();
        EXPECT_FALSE(index.contains(*chat("x", INT64_MIN, 0)));
        EXPECT_FALSE(index.contains(*chat("x", *svrIds.rbegin(), 0)));
    }
}


// Dropping a carved row before translation must answer exactly as translating it
// and asking contains() would, for every shape a carved field can take.
TEST(SavedChatIndexTest, CarvedRecordsAnswerLikeTheirTranslation) {
    using talwen::sqlite::FieldValue;
    using talwen::sqlite::Record;
    SavedChatIndex index;
    auto live = chat("a", 0x1234, 100);
    auto liveWithoutSvr = chat("b", 0, 200);
    auto liveLate = chat("c", 0, 5);  // 2^32 + 5 carved reads as 5 in 32 bits
    index.addAll({live, liveWithoutSvr, liveLate});

    using Make = std::function<std::shared_ptr<FieldValue>(uint32_t index, const std::string& name)>;
    const std::vector<std::pair<const char*, Make>> shapes = {
        {"absent", nullptr},
        {"null", [](uint32_t i, const std::string& n) { return std::make_shared<FieldValue>(1, i, n); }},
        {"text", [](uint32_t i, const std::string& n) {
             return std::make_shared<FieldValue>(1, i, n, 15, 0, 1, std::string("1"));
         }},
        {"zero (type 8)", [](uint32_t i, const std::string& n) {
             return std::make_shared<FieldValue>(1, i, n, 8, 0, 0, int64_t{0});
         }},
        {"one (type 9)", [](uint32_t i, const std::string& n) {
             return std::make_shared<FieldValue>(1, i, n, 9, 0, 0, int64_t{1});
         }},
        {"0x1234", [](uint32_t i, const std::string& n) {
             return std::make_shared<FieldValue>(1, i, n, 2, 0, 2, int64_t{0x1234});
         }},
        {"200", [](uint32_t i, const std::string& n) {
             return std::make_shared<FieldValue>(1, i, n, 2, 0, 2, int64_t{200});
         }},
        {"2^32+5", [](uint32_t i, const std::string& n) {
             return std::make_shared<FieldValue>(1, i, n, 6, 0, 8, int64_t{(int64_t{1} << 32) + 5});
         }},
    };
    for (const auto& [svrName, svr] : shapes) {
        for (const auto& [timeName, time] : shapes) {
            Record record;
            if (svr) record.addFieldValue(svr(2, "mesSvrId"));
            if (time) record.addFieldValue(time(3, "CREATETIME"));
            record.addFieldValue(std::make_shared<FieldValue>(1, 4, "Message", 15, 0, 1, std::string("x")));
            const auto translated = WchatTranslator::translateRecordToWchatChat(record, WchatTranslator::kCleanTexts);
            EXPECT_EQ(index.contains(*translated), index.containsCarved(record)) << svrName << " / " << timeName;
        }
    }
}

}  // namespace
