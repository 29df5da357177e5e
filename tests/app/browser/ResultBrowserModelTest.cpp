#include <gtest/gtest.h>

#include "app/support/TestStore.h"
#include "app/store/RecoveredData.h"
#include "app/browser/ResultBrowserModel.h"

using talwen::app::BrowserRow;
using talwen::app::FriendCategory;
using talwen::app::FriendEntry;
using talwen::app::RecoveredData;
using talwen::app::ResultBrowserModel;
using talwen::app::friendCategory;
using talwen::app::friendCountText;
using talwen::app::searchFriends;
using talwen::app::searchRowName;

namespace {

FriendEntry entry(int32_t id, const QString& usrName, int chatNum, const QString& nickName = QString()) {
    FriendEntry e;
    e.rcFriendId = id;
    e.usrName = usrName;
    e.nickName = nickName.isEmpty() ? usrName : nickName;
    e.chatNum = chatNum;
    return e;
}

// A store with `contacts` listed contacts and `groups` unknown-friend pages.
void fillStore(TestStore& store, int contacts, int groups) {
    for (int i = 0; i < contacts; ++i) {
        const int64_t id = store.addFriend({"user" + std::to_string(i), "", "", "", "", 1});
        TestStore::Chat chat;
        chat.createTime = 1420070400 + i;
        store.tie(id, store.addChat(chat));
    }
    for (int page = 1; page <= groups; ++page) {
        TestStore::Chat chat;
        chat.obtainWay = 2;
        chat.hasPageNumber = true;
        chat.pageNumber = page;
        chat.createTime = 1420070400;
        store.addChat(chat);
    }
    store.finish();
}

}  // namespace

TEST(FriendCategoryRule, OfficialAccountBeforeGroupBeforeFriend) {
    struct Case {
        const char* usrName;
        FriendCategory category;
    } cases[] = {
        {"gh_abc", FriendCategory::OfficialAccount},
        {"GH_abc", FriendCategory::OfficialAccount},
        {"123@chatroom", FriendCategory::Group},
        {"123@ChatRoom", FriendCategory::Group},
        {"gh_x@chatroom", FriendCategory::OfficialAccount},
        {"weixin", FriendCategory::Friend},
        {"", FriendCategory::Friend},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.category, friendCategory(QString::fromUtf8(c.usrName))) << c.usrName;
    }
}

TEST(ResultBrowserModelTest, RowsGoToCategoryTablesAndWithRecordsOnlyWithMessages) {
    ResultBrowserModel model;
    RecoveredData empty;
    model.begin(&empty);
    FriendEntry group = entry(1, "9@chatroom", 0);
    const auto groupRows = model.addFriendRow(group);
    ASSERT_EQ(1u, groupRows.size());
    EXPECT_EQ(FriendCategory::Group, groupRows[0].category);
    EXPECT_EQ(":/res/group.jpg", groupRows[0].picture.toStdString());

    FriendEntry pal = entry(2, "pal", 12, "  Best \t pal ");
    pal.rcChatNum = 3;
    const auto palRows = model.addFriendRow(pal);
    ASSERT_EQ(2u, palRows.size());
    EXPECT_FALSE(palRows[0].withRecordsTable);
    EXPECT_TRUE(palRows[1].withRecordsTable);
    EXPECT_EQ("Best pal", palRows[0].name.toStdString());
    EXPECT_EQ("12(3)", palRows[0].countText.toStdString());
    EXPECT_EQ(2, model.firstViewedFriend());

    model.addFriendRow(entry(3, "other", 5));
    EXPECT_EQ(2, model.firstViewedFriend());  // the first friend with messages stays the viewed one
    const auto& all = model.tableEntries(FriendCategory::Friend, false);
    ASSERT_EQ(2u, all.size());
    EXPECT_EQ("5", friendCountText(all[1]).toStdString());

    EXPECT_TRUE(model.addUnknownFriendRow(4, 0, "2015-01-01 00:00:00").empty());
    EXPECT_TRUE(model.addUnknownFriendRow(4, 2, "").empty());
    const auto unknown = model.addUnknownFriendRow(2113, 2, "2015-01-01 00:00:00");
    ASSERT_EQ(1u, unknown.size());
    EXPECT_EQ("未知好友2113", unknown[0].name.toStdString());
}

TEST(ResultBrowserModelTest, FillsThirtyTwoEntriesPerBatchThenUnknownFriends) {
    struct Case {
        int contacts;
        int groups;
        std::vector<size_t> batches;  // rows (all-entries and with-records) per batch
    } cases[] = {
        {32, 0, {64}},
        {33, 0, {64, 2}},
        {32, 40, {64, 32, 8}},
        {0, 0, {}},
    };
    for (const Case& c : cases) {
        TestStore store;
        fillStore(store, c.contacts, c.groups);
        RecoveredData data;
        talwen::common::ErrorInfo error;
        data.loadFriends(store.db(), &error);
        data.loadLostFriendChats(store.db(), &error);

        ResultBrowserModel model;
        model.begin(&data);
        std::vector<size_t> batches;
        while (!model.fillFinished()) {
            batches.push_back(model.timerGetAllFriends().size());
        }
        EXPECT_EQ(c.batches, batches) << c.contacts << " contacts, " << c.groups << " groups";
        EXPECT_EQ(static_cast<size_t>(c.contacts), model.tableEntries(FriendCategory::Friend, false).size());
        EXPECT_EQ(c.groups, model.unknownFriendRows());
        EXPECT_TRUE(model.timerGetAllFriends().empty());
    }
}

TEST(SearchFriends, MatchesNameRemarkOrPinyinAndShowsAtMostElevenLastFirst) {
    std::vector<FriendEntry> display;
    for (int i = 0; i < 20; ++i) {
        display.push_back(entry(i, QString("u%1").arg(i), 1, QString("Ann%1").arg(i)));
    }
    FriendEntry byRemark = entry(50, "r", 1, "Zed");
    byRemark.conRemark = "Boss";
    FriendEntry byPinyin = entry(51, "p", 1, "Zoe");
    byPinyin.fullPY = "zhangsan";
    display.push_back(byRemark);
    display.push_back(byPinyin);

    const auto rows = searchFriends(display, "Ann");
    ASSERT_EQ(11u, rows.size());
    EXPECT_EQ("Ann10", rows.front().nickName.toStdString());
    EXPECT_EQ("Ann0", rows.back().nickName.toStdString());

    EXPECT_TRUE(searchFriends(display, "ann").empty());  // case-sensitive
    const auto remark = searchFriends(display, "Boss");
    ASSERT_EQ(1u, remark.size());
    EXPECT_EQ("Zed(Boss)", searchRowName(remark[0]).toStdString());
    EXPECT_EQ(1u, searchFriends(display, "zhang").size());
    EXPECT_TRUE(searchFriends(display, "").empty());
    EXPECT_TRUE(searchFriends(display, "搜索：联系人，群，公众号").empty());
}

TEST(OrderItems, FirstClickShowsLargestFirstAndEachClickReverses) {
    RecoveredData empty;
    ResultBrowserModel model;
    model.begin(&empty);
    model.addFriendRow(entry(1, "a", 5));
    model.addFriendRow(entry(2, "b", 9));
    model.addFriendRow(entry(3, "c", 1));
    auto ids = [](const std::vector<FriendEntry>& list) {
        std::vector<int> result;
        for (const auto& e : list) {
            result.push_back(e.rcFriendId);
        }
        return result;
    };
    EXPECT_EQ((std::vector<int>{2, 1, 3}), ids(model.orderItems(FriendCategory::Friend, false, "总数")));
    EXPECT_EQ((std::vector<int>{3, 1, 2}), ids(model.orderItems(FriendCategory::Friend, false, "总数")));
    EXPECT_EQ((std::vector<int>{2, 1, 3}), ids(model.orderItems(FriendCategory::Friend, false, "总数")));
    EXPECT_TRUE(model.orderItems(FriendCategory::Friend, false, "未知").empty());

    // Byte-wise text keys: shorter first on a common prefix.
    FriendEntry x = entry(4, "x", 0);
    x.fullPY = "ab";
    FriendEntry y = entry(5, "y", 0);
    y.fullPY = "a";
    RecoveredData other;
    ResultBrowserModel texts;
    texts.begin(&other);
    texts.addFriendRow(x);
    texts.addFriendRow(y);
    EXPECT_EQ((std::vector<int>{4, 5}), ids(texts.orderItems(FriendCategory::Friend, false, "好友")));

    // A table with one entry does not change.
    EXPECT_TRUE(model.orderItems(FriendCategory::Group, false, "总数").empty());
    model.addFriendRow(entry(6, "1@chatroom", 1));
    EXPECT_TRUE(model.orderItems(FriendCategory::Group, false, "总数").empty());
}
