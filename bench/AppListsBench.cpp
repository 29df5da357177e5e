// The result screen's lists over a generated recovery store: loading 10,000
// contacts, filling and ordering the browser's rows and searching them, and
// opening a conversation of 100,000 messages (its latest slice, read and rendered,
// against reading the whole conversation).
//
// The store is generated in memory once per run: 10,000 contacts with 3 messages
// each and one contact with 100,000 messages, finished as a recovery finishes it.

#include <benchmark/benchmark.h>

#include <sqlite3.h>

#include <cstdlib>
#include <memory>
#include <string>

#include <QString>
#include <QTextStream>

#include "app/browser/ResultBrowserModel.h"
#include "app/pages/MessageRenderer.h"
#include "app/store/RecoveredData.h"
#include "common/ErrorInfo.h"
#include "wchat/RecoveryStore.h"

using talwen::app::ConversationSlice;
using talwen::app::FriendCategory;
using talwen::app::MessageRenderer;
using talwen::app::RecoveredData;
using talwen::app::RenderContext;
using talwen::app::ResultBrowserModel;
using talwen::common::ErrorInfo;

namespace {

constexpr int kContacts = 10000;
constexpr int kMessagesPerContact = 3;
constexpr int kLongConversation = 100000;
constexpr int64_t k2015 = 1420070400;
constexpr uint32_t kSlice = 200;  // messages the view opens with

void exec(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        std::abort();
    }
}

struct BenchStore {
    std::unique_ptr<talwen::wchat::RecoveryStore> store;
    int32_t longContact = 0;
};

void addChats(sqlite3* db, sqlite3_stmt* chat, sqlite3_stmt* tie, int64_t friendId, int count, int64_t firstTime,
              int step) {
    for (int i = 0; i < count; ++i) {
        const std::string text = "message " + std::to_string(i) + " of contact " + std::to_string(friendId);
        sqlite3_reset(chat);
        sqlite3_bind_int64(chat, 1, firstTime + static_cast<int64_t>(i) * step);
        sqlite3_bind_text(chat, 2, text.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(chat, 3, i % 2);
        sqlite3_bind_int(chat, 4, i % 7 == 0 ? 2 : 1);
        if (sqlite3_step(chat) != SQLITE_DONE) std::abort();
        const int64_t chatId = sqlite3_last_insert_rowid(db);
        sqlite3_reset(tie);
        sqlite3_bind_int64(tie, 1, friendId);
        sqlite3_bind_int64(tie, 2, chatId);
        if (sqlite3_step(tie) != SQLITE_DONE) std::abort();
    }
}

const BenchStore& benchStore() {
    static BenchStore bench = []() {
        BenchStore b;
        ErrorInfo error;
        b.store = talwen::wchat::RecoveryStore::create("", &error);
        if (!b.store) std::abort();
        sqlite3* db = b.store->connection();
        exec(db, "BEGIN");
        sqlite3_stmt* addFriend = nullptr;
        sqlite3_stmt* chat = nullptr;
        sqlite3_stmt* tie = nullptr;
        sqlite3_prepare_v2(db,
                           "INSERT INTO WC_Friend (validFlag, obtainWay, usrName, nickName, fullPY, headImgUrl) "
                           "VALUES (0, 1, ?, ?, ?, ?)",
                           -1, &addFriend, nullptr);
        sqlite3_prepare_v2(db,
                           "INSERT INTO WC_Chat (validFlag, obtainWay, createTime, message, type, des, mesLocalId) "
                           "VALUES (0, ?4, ?1, ?2, 1, ?3, 1)",
                           -1, &chat, nullptr);
        sqlite3_prepare_v2(db,
                           "INSERT INTO WC_Chatroom (rcFriendId, rcChatId, deduceType, ratio) VALUES (?1, ?2, 1, 1.0);",
                           -1, &tie, nullptr);
        for (int i = 0; i <= kContacts; ++i) {
            const std::string usrName = "wxid_" + std::to_string(i * 7919 % 100003);
            const std::string nick = "联系人" + std::to_string(i);
            const std::string pinyin = "lianxiren" + std::to_string(i * 31 % 10007);
            const std::string address = "http://wx.qlogo.cn/mmhead/" + std::to_string(i) + "/132";
            sqlite3_reset(addFriend);
            sqlite3_bind_text(addFriend, 1, usrName.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(addFriend, 2, nick.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(addFriend, 3, pinyin.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(addFriend, 4, address.c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(addFriend) != SQLITE_DONE) std::abort();
            const int64_t id = sqlite3_last_insert_rowid(db);
            if (i == kContacts) {
                b.longContact = static_cast<int32_t>(id);
                addChats(db, chat, tie, id, kLongConversation, k2015, 30);
            } else {
                addChats(db, chat, tie, id, kMessagesPerContact + i % 5, k2015 + i * 1000, 60);
            }
        }
        sqlite3_finalize(addFriend);
        sqlite3_finalize(chat);
        sqlite3_finalize(tie);
        exec(db, "INSERT INTO WC_ChatFriend SELECT * FROM WC_Chatroom");
        exec(db, "COMMIT");
        b.store->finishTargetDb(&error);
        if (!error.isSuccess()) std::abort();
        return b;
    }();
    return bench;
}

void BM_LoadFriends(benchmark::State& state) {
    sqlite3* db = benchStore().store->connection();
    for (auto _ : state) {
        RecoveredData data;
        ErrorInfo error;
        data.loadFriends(db, &error, 0);
        benchmark::DoNotOptimize(data.displayList().size());
        if (data.displayList().size() != kContacts + 1) state.SkipWithError("not every contact was listed");
    }
}
BENCHMARK(BM_LoadFriends)->Unit(benchmark::kMillisecond);

RecoveredData& loadedData() {
    static RecoveredData data = []() {
        RecoveredData d;
        ErrorInfo error;
        d.loadFriends(benchStore().store->connection(), &error, 0);
        return d;
    }();
    return data;
}

// Every row of the browser at once, as a model/view table shows them.
void BM_FillAllRows(benchmark::State& state) {
    const RecoveredData& data = loadedData();
    for (auto _ : state) {
        ResultBrowserModel model;
        model.begin(&data);
        size_t rows = 0;
        while (!model.fillFinished()) rows += model.timerGetAllFriends().size();
        benchmark::DoNotOptimize(rows);
    }
}
BENCHMARK(BM_FillAllRows)->Unit(benchmark::kMillisecond);

void BM_OrderItems(benchmark::State& state) {
    const RecoveredData& data = loadedData();
    ResultBrowserModel model;
    model.begin(&data);
    while (!model.fillFinished()) model.timerGetAllFriends();
    const QString labels[] = {QStringLiteral("好友"), QStringLiteral("最后日期"), QStringLiteral("总数")};
    const QString label = labels[state.range(0)];
    for (auto _ : state) {
        benchmark::DoNotOptimize(model.orderItems(FriendCategory::Friend, false, label).size());
    }
    state.SetLabel(label.toStdString());
}
BENCHMARK(BM_OrderItems)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

void BM_SearchFriends(benchmark::State& state) {
    const RecoveredData& data = loadedData();
    // A text no contact holds walks the whole list.
    const QString text = state.range(0) == 0 ? QStringLiteral("无此人") : QStringLiteral("联系人9");
    for (auto _ : state) {
        benchmark::DoNotOptimize(talwen::app::searchFriends(data.displayList(), text).size());
    }
}
BENCHMARK(BM_SearchFriends)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

QString renderSlice(const RecoveredData& data, int32_t contact, const ConversationSlice& slice) {
    RenderContext context;
    context.friendMap = &data.friendMap();
    QString page;
    QTextStream out(&page);
    MessageRenderer(context).writeContactSlicePage(out, data.friendEntry(contact), slice);
    out.flush();
    return page;
}

// What opening the conversation costs: its latest slice read and written as a page.
void BM_OpenLongConversation(benchmark::State& state) {
    const RecoveredData& data = loadedData();
    sqlite3* db = benchStore().store->connection();
    const int32_t contact = benchStore().longContact;
    for (auto _ : state) {
        ErrorInfo error;
        const ConversationSlice slice = RecoveredData::queryLatestMessages(db, contact, kSlice, &error);
        if (slice.messages.size() != kSlice || !slice.hasEarlier) state.SkipWithError("wrong slice");
        benchmark::DoNotOptimize(renderSlice(data, contact, slice).size());
    }
}
BENCHMARK(BM_OpenLongConversation)->Unit(benchmark::kMillisecond);

// Scrolling up in the middle of the conversation.
void BM_EarlierSlice(benchmark::State& state) {
    sqlite3* db = benchStore().store->connection();
    const int32_t contact = benchStore().longContact;
    const talwen::app::MessageCursor middle{k2015 + static_cast<int64_t>(kLongConversation / 2) * 30, 0};
    for (auto _ : state) {
        ErrorInfo error;
        benchmark::DoNotOptimize(
            RecoveredData::queryMessagesBefore(db, contact, middle, kSlice, &error).messages.size());
    }
}
BENCHMARK(BM_EarlierSlice)->Unit(benchmark::kMillisecond);

// For comparison: the whole conversation read and rendered as one page (exports do this).
void BM_WholeLongConversation(benchmark::State& state) {
    const RecoveredData& data = loadedData();
    sqlite3* db = benchStore().store->connection();
    const int32_t contact = benchStore().longContact;
    for (auto _ : state) {
        ErrorInfo error;
        ConversationSlice whole;
        whole.messages = RecoveredData::queryConversation(db, contact, 0, &error);
        benchmark::DoNotOptimize(renderSlice(data, contact, whole).size());
    }
}
BENCHMARK(BM_WholeLongConversation)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
