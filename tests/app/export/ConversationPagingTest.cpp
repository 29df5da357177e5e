// Long conversations exported as pages: every message on exactly one page, pages
// numbered from the oldest, the table of pages with dates and deleted counts, the
// search data, and names that stay safe.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include "app/export/ChatExporter.h"
#include "app/export/ConversationPaging.h"
#include "app/pages/PageAssets.h"
#include "app/store/RecoveredData.h"
#include "app/support/TestFiles.h"
#include "app/support/TestStore.h"

using namespace talwen::app;

using talwen::app::test::readFile;

namespace {

constexpr int64_t k2015 = 1420070400;

ChatEntry entry(int32_t id, int64_t time, int obtainWay) {
    ChatEntry e;
    e.rcChatId = id;
    e.createTime = time;
    e.obtainWay = static_cast<int8_t>(obtainWay);
    return e;
}

}  // namespace

TEST(ConversationPaging, SplitsIntoRunsWithTheirDatesAndDeletedCounts) {
    std::vector<ChatEntry> conversation;
    for (int i = 0; i < 12; ++i) conversation.push_back(entry(i + 1, k2015 + i * 60, i % 4 == 3 ? 2 : 1));
    struct Case {
        size_t messages;
        int perPage;
        std::vector<size_t> counts;
    };
    for (const Case& c : std::vector<Case>{
             {0, 5, {}}, {1, 5, {1}}, {5, 5, {5}}, {6, 5, {5, 1}}, {12, 5, {5, 5, 2}}, {3, 0, {1, 1, 1}}}) {
        const std::vector<ChatEntry> part(conversation.begin(), conversation.begin() + c.messages);
        const auto ranges = ConversationPaging::split(part, c.perPage);
        std::vector<size_t> counts;
        size_t next = 0;
        for (const auto& range : ranges) {
            EXPECT_EQ(next, range.first);
            next += range.count;
            counts.push_back(range.count);
        }
        EXPECT_EQ(c.counts, counts) << c.messages << " by " << c.perPage;
    }
    const auto ranges = ConversationPaging::split(conversation, 5);
    EXPECT_EQ(k2015 + 5 * 60, ranges[1].firstTime);
    EXPECT_EQ(k2015 + 9 * 60, ranges[1].lastTime);
    EXPECT_EQ(1, ranges[0].deleted);  // the 4th
    EXPECT_EQ(1, ranges[1].deleted);  // the 8th
    EXPECT_EQ(1, ranges[2].deleted);  // the 12th
    EXPECT_EQ("0001.html", ConversationPaging::pageFileName(0).toStdString());
    EXPECT_EQ("12345.html", ConversationPaging::pageFileName(12344).toStdString());
    EXPECT_EQ("a b_pages", ConversationPaging::pagesDirName("a b.html").toStdString());
}

class ConversationPagingExport : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(work.isValid() && chosen.isValid());
        ASSERT_TRUE(PageAssets::install(work.path()));
    }

    int32_t addContact(const std::string& nickName, int messages) {
        const int64_t id = store.addFriend({"user_" + nickName, nickName, "", "", "", 1});
        for (int i = 0; i < messages; ++i) {
            TestStore::Chat chat;
            chat.message = "message " + std::to_string(i) + (i == 7 ? " needle" : "");
            chat.mesLocalId = 100 + i;
            chat.createTime = k2015 + i * 3600;
            chat.obtainWay = i % 5 == 4 ? 2 : 1;
            store.tie(id, store.addChat(chat));
        }
        return static_cast<int32_t>(id);
    }

    // Exports the contacts with pages of `perPage` messages.
    void exportContacts(const std::vector<int32_t>& ids, int perPage) {
        store.finish();
        talwen::common::ErrorInfo error;
        data.loadFriends(store.db(), &error);
        RenderContext context;
        context.friendMap = &data.friendMap();
        ChatExporter exporter(store.db(), data, context);
        exporter.setPacing(0, 0);
        exporter.setMessagesPerPage(perPage);
        ASSERT_TRUE(exporter.prepareExportDirectory(chosen.path(), work.path()));
        std::vector<ExportItem> items;
        for (int32_t id : ids) items.push_back({ExportItem::Kind::Contact, id});
        for (const PageFile& page : exporter.exportConversations(items, nullptr)) {
            EXPECT_TRUE(page.written) << page.path.toStdString();
        }
    }

    QString exportDir() const { return chosen.path() + "/微信聊天记录恢复"; }

    QTemporaryDir work;
    QTemporaryDir chosen;
    TestStore store;
    RecoveredData data;
};

TEST_F(ConversationPagingExport, EveryMessageOnOnePageWithTheTableNavigationAndSearchData) {
    const int32_t pal = addContact("Pal", 12);
    const int32_t short_ = addContact("Short", 5);
    exportContacts({pal, short_}, 5);

    // At most messagesPerPage messages stay one page, as before.
    EXPECT_FALSE(QDir(exportDir() + "/Short_pages").exists());
    EXPECT_EQ(5, readFile(exportDir() + "/Short.html").count(R"(<div class="chat )"));

    const QString dir = exportDir() + "/Pal_pages";
    EXPECT_EQ((QStringList{"0001.html", "0002.html", "0003.html", "search.js"}),
              QDir(dir).entryList(QDir::Files, QDir::Name));
    QByteArray all;
    for (const char* page : {"0001.html", "0002.html", "0003.html"}) {
        const QByteArray html = readFile(dir + "/" + page);
        EXPECT_TRUE(html.contains(R"(<base href="../">)")) << page;
        EXPECT_TRUE(html.contains(R"(<a href="Pal.html">全部页面</a>)")) << page;
        EXPECT_TRUE(html.contains(R"(<a href="Pal_pages/0003.html#end">最新</a>)")) << page;
        all += html;
    }
    // Each message once, in order, behind its anchor with time and deleted mark.
    int last = -1;
    for (int i = 0; i < 12; ++i) {
        const QByteArray text = "message " + QByteArray::number(i) + (i == 7 ? " needle" : "") + "</p>";
        EXPECT_EQ(1, all.count(text)) << i;
        const int at = all.indexOf(text);
        EXPECT_GT(at, last) << i;
        last = at;
    }
    EXPECT_EQ(12, all.count(R"(<a class="msg-anchor" id="m)"));
    EXPECT_EQ(2, all.count(R"(" data-d="1"></a>)"));  // the 5th and the 10th
    const QByteArray middle = readFile(dir + "/0002.html");
    EXPECT_TRUE(middle.contains(R"(<a href="Pal_pages/0001.html#end">上一页</a>)"));
    EXPECT_TRUE(middle.contains(R"(<a href="Pal_pages/0003.html">下一页</a>)"));
    EXPECT_TRUE(middle.contains(QString::fromUtf8("第 2 / 3 页 · 2015-01-01 05:00:00 – 2015-01-01 09:00:00").toUtf8()));
    EXPECT_TRUE(middle.contains("下一条已删除（本页 1 条）"));
    EXPECT_FALSE(readFile(dir + "/0003.html").contains("下一条已删除"));

    const QByteArray table = readFile(exportDir() + "/Pal.html");
    EXPECT_TRUE(table.contains("共 12 条消息，其中 2 条已删除（已恢复），分为 3 页，每页最多 5 条。"));
    EXPECT_TRUE(table.contains(
        R"(<tr data-first="1420088400" data-last="1420102800"><td><a href="Pal_pages/0002.html">第 2 页</a></td>)"
        R"(<td>2015-01-01 05:00:00 – 2015-01-01 09:00:00</td><td>5</td>)"
        R"(<td><a href="Pal_pages/0002.html#deleted">1</a></td></tr>)"));
    EXPECT_TRUE(table.contains(R"(<td>2</td><td>0</td></tr>)"));  // the last page
    EXPECT_TRUE(table.contains(R"(min="2015-01-01" max="2015-01-01")"));

    // The search data: the texts with their page, id, time and deleted mark.
    QByteArray script = readFile(dir + "/search.js");
    ASSERT_TRUE(script.startsWith("wcrSearchIndex(") && script.endsWith(");\n"));
    const QJsonObject index = QJsonDocument::fromJson(script.mid(15, script.size() - 18)).object();
    EXPECT_EQ(QJsonArray({"0001.html", "0002.html", "0003.html"}), index["pages"].toArray());
    const QJsonArray items = index["items"].toArray();
    ASSERT_EQ(12, items.size());
    const QJsonArray needle = items[7].toArray();
    EXPECT_EQ(1, needle[0].toInt());
    EXPECT_EQ(k2015 + 7 * 3600, needle[2].toVariant().toLongLong());
    EXPECT_EQ(0, needle[3].toInt());
    EXPECT_EQ("message 7 needle", needle[4].toString().toStdString());
    EXPECT_TRUE(
        QByteArray(readFile(dir + "/0002.html")).contains("id=\"m" + QByteArray::number(needle[1].toInt()) + "\""));
    EXPECT_EQ(1, items[9].toArray()[3].toInt());
}

// The folder of the pages follows the page's safe, unique name, and the links are
// percent-encoded addresses of it.
TEST_F(ConversationPagingExport, NamesFollowTheSafePageName) {
    const int32_t odd = addContact("a b/c", 3);
    const int32_t twin = addContact("A B/C", 3);
    exportContacts({odd, twin}, 2);
    EXPECT_TRUE(QFile::exists(exportDir() + "/a b_c_pages/0002.html"));
    EXPECT_TRUE(QFile::exists(exportDir() + "/A B_C_2_pages/0002.html"));
    EXPECT_TRUE(readFile(exportDir() + "/a b_c.html").contains(R"(<a href="a%20b_c_pages/0002.html">第 2 页</a>)"));
    EXPECT_TRUE(
        readFile(exportDir() + "/A B_C_2_pages/0001.html").contains(R"(<a href="A%20B_C_2.html">全部页面</a>)"));
}
