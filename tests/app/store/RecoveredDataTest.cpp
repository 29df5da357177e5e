#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/support/TestStore.h"
#include "app/store/AccountSampler.h"
#include "app/store/RecoveredData.h"
#include "wchat/RecoveryStore.h"
#include "wchat/WchatChat.h"

using talwen::app::AccountSample;
using talwen::app::AccountSampler;
using talwen::app::ChatEntry;
using talwen::app::RecoveredData;
using talwen::app::sampleAccountFriends;
using talwen::common::ErrorInfo;

namespace {

constexpr int64_t k2015 = 1420070400;  // 2015-01-01 00:00:00 UTC

int64_t addFriendWithMessages(TestStore& store, const std::string& usrName, int messages, int64_t time = k2015) {
    const int64_t id = store.addFriend({usrName, usrName + "-nick", "", "", "", 1});
    for (int i = 0; i < messages; ++i) {
        TestStore::Chat chat;
        chat.createTime = time + i;
        chat.message = "m" + std::to_string(i);
        store.tie(id, store.addChat(chat));
    }
    return id;
}

}  // namespace

TEST(LoadFriends, ListsDatedContactsByMessageCountAndSkipsSystemAccounts) {
    TestStore store;
    addFriendWithMessages(store, "few", 1);
    addFriendWithMessages(store, "many", 3);
    addFriendWithMessages(store, "medianote", 2);  // a system account
    addFriendWithMessages(store, "weixin", 2);     // not a system account of the list
    const int64_t old = addFriendWithMessages(store, "old", 1, 1262304000 - 86400);  // 2009-12-31
    const int64_t silent = store.addFriend({"silent", "", "", "", "", 1});
    store.finish();

    RecoveredData data;
    ErrorInfo error;
    data.loadFriends(store.db(), &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();

    std::vector<std::string> shown;
    for (const auto& entry : data.displayList()) {
        shown.push_back(entry.usrName.toStdString());
    }
    ASSERT_EQ(3u, shown.size());
    EXPECT_EQ("many", shown[0]);
    EXPECT_EQ(3, data.displayList()[0].chatNum);
    EXPECT_EQ("2015-01-01 00:00:02", data.displayList()[0].lastChatText.toStdString());
    EXPECT_EQ(3u, data.friendList().size());
    // Old and silent contacts stay out of the lists but remain in the map for rendering.
    EXPECT_EQ(1u, data.friendMap().count(static_cast<int32_t>(old)));
    EXPECT_EQ(1u, data.friendMap().count(static_cast<int32_t>(silent)));
    EXPECT_EQ(0, data.friendMap().at(static_cast<int32_t>(silent)).chatNum);
    for (const auto& item : data.friendMap()) {
        EXPECT_NE("medianote", item.second.usrName.toStdString());
    }
}

// A conversation recovered from a dropped table belongs to a made-up contact that
// is tied to its messages through WC_Chatroom only: the store leaves its
// lastChatTime NULL. It must still be listed (and so exported by "export all").
TEST(LoadFriends, MadeUpContactOfDroppedTableIsListedWithItsLatestMessageTime) {
    TestStore store;
    const int64_t madeUp = store.addFriend({"", "未知联系人-1", "未知联系人-1", "", "", 101});
    for (int64_t time : {k2015 + 50, k2015 + 10}) {
        TestStore::Chat chat;
        chat.createTime = time;
        chat.obtainWay = 2;
        store.tie(madeUp, store.addChat(chat), false);
    }
    // A contact with its own last chat time keeps it, even when a message of its
    // conversation is later.
    const int64_t live = store.addFriend({"wxid_live", "Live", "", "", "", 1});
    TestStore::Chat own;
    own.createTime = k2015 + 20;
    store.tie(live, store.addChat(own));
    TestStore::Chat roomOnly;
    roomOnly.createTime = k2015 + 90;
    store.tie(live, store.addChat(roomOnly), false);
    store.finish();

    RecoveredData data;
    ErrorInfo error;
    data.loadFriends(store.db(), &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    ASSERT_EQ(2u, data.displayList().size());
    const auto& entry = data.displayList()[0];
    EXPECT_EQ(madeUp, entry.rcFriendId);
    EXPECT_EQ(k2015 + 50, entry.lastChatTime);
    EXPECT_EQ(2, entry.chatNum);
    EXPECT_EQ(2, entry.rcChatNum);
    EXPECT_EQ(live, data.displayList()[1].rcFriendId);
    EXPECT_EQ(k2015 + 20, data.displayList()[1].lastChatTime);
}

TEST(LoadLostFriendChats, GroupsCarvedMessagesByPageAndDropsUndatedOnes) {
    TestStore store;
    auto lost = [&](bool hasPage, int64_t page, int64_t time, const std::string& text) {
        TestStore::Chat chat;
        chat.obtainWay = 2;
        chat.hasPageNumber = hasPage;
        chat.pageNumber = page;
        chat.createTime = time;
        chat.message = text;
        store.addChat(chat);
    };
    lost(true, 7, k2015 + 5, "b");
    lost(true, 7, k2015, "a");
    lost(true, 3, k2015, "c");
    lost(false, 0, k2015, "no page");
    lost(true, 3, 1262304000 - 86400 * 2, "2009");  // dropped: before 2010 in any time zone
    const int64_t tied = store.addChat({});
    store.tie(store.addFriend({"x", "x", "", "", "", 1}), tied);
    store.finish();

    RecoveredData data;
    ErrorInfo error;
    data.loadLostFriendChats(store.db(), &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    ASSERT_EQ(3u, data.lostFriendList().size());
    ASSERT_EQ(2u, data.unknownFriendGroups().size());
    const auto& page7 = data.unknownFriendGroups().at(7);
    ASSERT_EQ(2u, page7.size());
    EXPECT_EQ("a", page7[0].message.toStdString());
    EXPECT_EQ("b", page7[1].message.toStdString());
    EXPECT_EQ(1u, data.unknownFriendGroups().at(3).size());

    data.countRecoveredChats(store.db(), &error);
    EXPECT_EQ(5, data.recoveredCount());
}

TEST(LoadLostFriendChats, FreedPagesOfOneTableAreOneGroupUnderTheRunsFirstPage) {
    // The recovery's own store: its view gives each lost message its run's first page.
    // A live message without conversation and a carved one without page are left
    // out, and counted only when carved.
    ErrorInfo error;
    auto store = talwen::wchat::RecoveryStore::create("", &error);
    ASSERT_NE(nullptr, store) << error.getMessage();
    std::vector<std::shared_ptr<talwen::wchat::WchatChat>> chats;
    const std::pair<int32_t, const char*> carved[] = {{3, "a"}, {4, "b"}, {0, "no page"}, {4, "c"}, {9, "d"}};
    int32_t second = 0;
    for (const auto& [page, text] : carved) {
        auto chat = std::make_shared<talwen::wchat::WchatChat>(2);
        if (page != 0) chat->setPageNumber(page);
        chat->setCreateTime(static_cast<int32_t>(k2015) + ++second);
        chat->setMessage(text);
        chat->setWalFrame(0);
        chats.push_back(chat);
    }
    auto live = std::make_shared<talwen::wchat::WchatChat>(1);
    live->setCreateTime(static_cast<int32_t>(k2015));
    live->setMessage("live, owner unknown");
    chats.insert(chats.begin(), live);
    store->insertChats(chats, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(store->connection(),
                                      "INSERT INTO WC_LostPageRun (pageNumber, runPage) VALUES (3, 3), (4, 3);",
                                      nullptr, nullptr, nullptr));

    RecoveredData data;
    data.loadLostFriendChats(store->connection(), &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    ASSERT_EQ(2u, data.unknownFriendGroups().size());
    ASSERT_EQ(3u, data.unknownFriendGroups().at(3).size());
    EXPECT_EQ(4, data.unknownFriendGroups().at(3)[2].pageNumber);  // each message keeps its page
    EXPECT_EQ(1u, data.unknownFriendGroups().at(9).size());
    EXPECT_EQ(4u, data.lostFriendList().size());
    data.countRecoveredChats(store->connection(), &error);
    EXPECT_EQ(5, data.recoveredCount());
    store->close();
}

TEST(LoadConversation, KeepsDistinctMessagesOfTheSameSecondAndDropsRealDuplicates) {
    TestStore store;
    const int64_t id = store.addFriend({"pal", "Pal", "", "", "", 1});
    auto add = [&](int64_t time, const std::string& text, int obtainWay) {
        TestStore::Chat chat;
        chat.createTime = time;
        chat.message = text;
        chat.obtainWay = obtainWay;
        store.tie(id, store.addChat(chat));
    };
    add(k2015, "one", 1);
    add(k2015, "two", 1);
    add(k2015, "one", 2);  // a recovered copy of "one"
    add(k2015, "three", 1);
    add(k2015 + 1, "one", 1);  // the same text a second later is a new message
    store.finish();

    RecoveredData data;
    ErrorInfo error;
    data.loadConversation(store.db(), static_cast<int32_t>(id), &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    std::vector<std::string> texts;
    for (const ChatEntry& entry : data.currentConversation()) {
        texts.push_back(entry.message.toStdString());
    }
    EXPECT_EQ((std::vector<std::string>{"one", "two", "three", "one"}), texts);
    EXPECT_EQ(id, data.currentConversation()[0].rcFriendId);
}

TEST(LoadConversation, ViewerStopsAt2000MessagesAndFullQueryReadsAll) {
    TestStore store;
    const int64_t id = addFriendWithMessages(store, "chatty", 2500);
    store.finish();

    RecoveredData data;
    ErrorInfo error;
    data.loadConversation(store.db(), static_cast<int32_t>(id), &error);
    EXPECT_EQ(2000u, data.currentConversation().size());
    EXPECT_EQ(2500u, RecoveredData::queryConversation(store.db(), static_cast<int32_t>(id), 0, &error).size());

    // An id the friend map does not know gets an empty entry.
    data.loadConversation(store.db(), 999, &error);
    EXPECT_TRUE(data.currentConversation().empty());
    EXPECT_EQ(1u, data.friendMap().count(999));
}

namespace {

// A messenger database with the contact tables the account sampling reads.
QString makeMessengerDatabase(const QString& path) {
    sqlite3* db = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_open(path.toUtf8().constData(), &db));
    const char* sql =
        "CREATE TABLE Friend (UsrName TEXT, NickName TEXT, Img TEXT, Type INTEGER);"
        "CREATE TABLE Friend_Ext (UsrName TEXT, ConStrRes2 TEXT, ConRemark TEXT);"
        "INSERT INTO Friend VALUES ('alice', 'Alice', '', 3), ('gh_news', 'News', '', 3),"
        " ('room@chatroom', 'Room', '', 3), ('WeiXin', 'Team', '', 3), ('bob', NULL, '', 3),"
        " ('carol', 'Carol', '', 3), ('dave', 'Dave', '', 1), ('erin', 'Erin', '', 3);"
        "INSERT INTO Friend_Ext VALUES ('alice', '<x><HeadImgUrl>http://a/132</HeadImgUrl></x>', ''),"
        " ('gh_news', '<HeadImgUrl>u</HeadImgUrl>', ''), ('room@chatroom', '<HeadImgUrl>u</HeadImgUrl>', ''),"
        " ('WeiXin', '<HeadImgUrl>u</HeadImgUrl>', ''), ('bob', '<HeadImgUrl>u</HeadImgUrl>', ''),"
        " ('carol', '</HeadImgUrl><HeadImgUrl>c', ''), ('dave', '<HeadImgUrl>d</HeadImgUrl>', ''),"
        " ('erin', '<HeadImgUrl></HeadImgUrl>', '');";
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
    sqlite3_close(db);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return QString::fromLatin1(QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1).toHex());
}

}  // namespace

TEST(SampleAccountFriends, KeepsOrdinaryContactsWithPictureAndLeavesBackupUntouched) {
    QTemporaryDir backup;
    ASSERT_TRUE(backup.isValid());
    const QString digest = makeMessengerDatabase(backup.path() + "/0123abcd");
    const QStringList before = QDir(backup.path()).entryList(QDir::Files | QDir::Hidden);

    const std::map<QString, QString> databases = {{"Documents/aaaa/DB/MM.sqlite", "0123abcd"},
                                                  {"Documents/bbbb/DB/MM.sqlite", "missing"}};
    const auto sampling = sampleAccountFriends(backup.path(), databases);
    EXPECT_TRUE(sampling.hasMessengerData);
    const auto& samples = sampling.samples.at("Documents/aaaa/DB/MM.sqlite");
    ASSERT_EQ(2u, samples.size());
    EXPECT_EQ("alice", samples[0].usrName.toStdString());
    EXPECT_EQ("http://a/132", samples[0].headImgUrl.toStdString());
    EXPECT_EQ("erin", samples[1].usrName.toStdString());
    EXPECT_TRUE(samples[1].headImgUrl.isEmpty());
    EXPECT_TRUE(sampling.samples.at("Documents/bbbb/DB/MM.sqlite").empty());

    // Read-only: the file is unchanged and nothing (journal, WAL, shm) was created beside it.
    QFile file(backup.path() + "/0123abcd");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(digest, QString::fromLatin1(QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1).toHex()));
    EXPECT_EQ(before, QDir(backup.path()).entryList(QDir::Files | QDir::Hidden));

    EXPECT_FALSE(sampleAccountFriends(backup.path(), {}).hasMessengerData);
}

// A pipe planted as a database would block the open for ever, a link (to a file or
// through a directory) could sample any database of this computer: neither is opened.
TEST(SampleAccountFriends, NeverOpensAPipeOrALink) {
    QTemporaryDir outside;
    QTemporaryDir backup;
    ASSERT_TRUE(outside.isValid() && backup.isValid());
    makeMessengerDatabase(outside.path() + "/real");
    const QString fileId = QString(40, 'e');
    ASSERT_TRUE(QDir().mkpath(outside.path() + "/dir"));
    ASSERT_TRUE(QFile::copy(outside.path() + "/real", outside.path() + "/dir/" + fileId));
    ASSERT_TRUE(QDir().mkpath(backup.path() + "/ab"));
    ASSERT_TRUE(QFile::copy(outside.path() + "/real", backup.path() + "/ab/" + fileId));
    ASSERT_TRUE(QFile::link(outside.path() + "/real", backup.path() + "/LINKED"));
    ASSERT_TRUE(QFile::link(outside.path() + "/dir", backup.path() + "/cd"));
    const QByteArray pipe = QFile::encodeName(backup.path() + "/PIPE");
    ASSERT_EQ(0, ::mkfifo(pipe.constData(), 0600));

    // Should the pipe be opened, a writer appearing after a while lets the test end.
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 50 && !finished; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        while (!finished) {
            const int fd = ::open(pipe.constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    const std::map<QString, QString> databases = {{"Documents/aaaa/DB/MM.sqlite", "ab/" + fileId},
                                                  {"Documents/bbbb/DB/MM.sqlite", "LINKED"},
                                                  {"Documents/cccc/DB/MM.sqlite", "cd/" + fileId},
                                                  {"Documents/dddd/DB/MM.sqlite", "PIPE"}};
    const auto sampling = sampleAccountFriends(backup.path(), databases);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    finished = true;
    watchdog.join();

    EXPECT_LT(elapsed, std::chrono::seconds(4));
    EXPECT_EQ(2u, sampling.samples.at("Documents/aaaa/DB/MM.sqlite").size());
    for (const char* account : {"Documents/bbbb/DB/MM.sqlite", "Documents/cccc/DB/MM.sqlite",
                                "Documents/dddd/DB/MM.sqlite"}) {
        EXPECT_TRUE(sampling.samples.at(account).empty()) << account;
    }
}

TEST(ChangeFriends, ShowsBatchesOfFourAndWrapsAround) {
    auto samples = [](int count) {
        std::vector<AccountSample> list;
        for (int i = 0; i < count; ++i) {
            list.push_back({QString::number(i), QString(), QString()});
        }
        return list;
    };
    auto names = [](const std::vector<AccountSample>& batch) {
        std::string text;
        for (const auto& sample : batch) {
            text += sample.usrName.toStdString();
        }
        return text;
    };
    AccountSampler sampler;
    sampler.setSamples({{"six", samples(6)}, {"three", samples(3)}});
    EXPECT_EQ("0123", names(sampler.batch("six")));
    EXPECT_EQ("012", names(sampler.batch("three")));
    sampler.changeFriends();
    EXPECT_EQ("4501", names(sampler.batch("six")));
    EXPECT_EQ("012", names(sampler.batch("three")));
    sampler.changeFriends();
    EXPECT_EQ("2345", names(sampler.batch("six")));
    EXPECT_TRUE(sampler.batch("none").empty());
}

// The viewer keeps its cap on lost messages; an export reads every one of them.
TEST(LoadLostFriendChats, WithoutACapEveryLostMessageIsRead) {
    TestStore store;
    store.exec("BEGIN");
    const uint32_t total = RecoveredData::kLostChatRowCap + 5;
    for (uint32_t i = 0; i < total; ++i) {
        TestStore::Chat chat;
        chat.obtainWay = 2;
        chat.hasPageNumber = true;
        chat.pageNumber = 1 + i / 100;
        chat.createTime = k2015 + i;
        chat.message = "m" + std::to_string(i);
        store.addChat(chat);
    }
    store.exec("COMMIT");
    store.finish();
    RecoveredData data;
    ErrorInfo error;
    data.loadLostFriendChats(store.db(), &error);
    EXPECT_EQ(size_t(RecoveredData::kLostChatRowCap), data.lostFriendList().size());
    data.loadLostFriendChats(store.db(), &error, 0);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    EXPECT_EQ(size_t(total), data.lostFriendList().size());
    EXPECT_EQ(size_t((total + 99) / 100), data.unknownFriendGroups().size());
}
