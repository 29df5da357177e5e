// A long conversation's exported pages in Chromium (QtWebEngine under Xvfb): the
// search of the table of pages finds texts on every page and links to them, the
// jump to a date opens the page and message of that date, and a page's deleted
// messages are found.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QWebEnginePage>
#include <QWebEngineView>

#include "app/export/ConversationPaging.h"
#include "app/gui/GuiTestSupport.h"
#include "app/pages/PageAssets.h"

using namespace talwen::app;

namespace {

constexpr int64_t k2015 = 1420070400;
constexpr int64_t kDay = 86400;

class PagedConversation : public ::testing::Test {
protected:
    void SetUp() override {
        guitest::startApplication("gui_web_tests");
        ASSERT_TRUE(work.isValid());
        ASSERT_TRUE(PageAssets::install(work.path()));
        exportDir = work.path() + "/temp";  // the assets' root is the export's root
        std::vector<ChatEntry> conversation;
        for (int i = 0; i < 25; ++i) {  // one message a day from 2015-01-01
            ChatEntry entry;
            entry.rcChatId = 100 + i;
            entry.type = 1;
            entry.des = i % 2;
            entry.obtainWay = i == 13 || i == 16 ? 2 : 1;
            entry.createTime = k2015 + i * kDay;
            entry.message = QString("day %1%2").arg(i).arg(i == 3 || i == 17 ? " Needle" : "");
            conversation.push_back(entry);
        }
        const std::map<int32_t, FriendEntry> friends;
        RenderContext context;
        context.friendMap = &friends;
        FriendEntry contact;
        contact.usrName = "pal";
        contact.nickName = "Pal";
        ASSERT_TRUE(ConversationPaging::write(context, contact, conversation, exportDir, "Pal.html", 10).written);
        view.resize(800, 600);
        view.show();
        QObject::connect(&view, &QWebEngineView::loadFinished, [this](bool) { ++loads; });
    }

    // `file` may end in a fragment ("page.html#deleted").
    void open(const QString& file) {
        const int before = loads;
        QUrl url = QUrl::fromLocalFile(exportDir + "/" + file.section('#', 0, 0));
        if (file.contains('#')) url.setFragment(file.section('#', 1));
        view.load(url);
        ASSERT_TRUE(guitest::waitUntil([&] { return loads > before; }, 30000));
    }

    QVariant evaluate(const QString& script) {
        QVariant result;
        bool done = false;
        view.page()->runJavaScript(script, [&](const QVariant& value) {
            result = value;
            done = true;
        });
        EXPECT_TRUE(guitest::waitUntil([&] { return done; }, 30000)) << script.toStdString();
        return result;
    }

    // The date text of the highlighted message, once there is one.
    QString highlighted() {
        guitest::waitUntil([&] { return evaluate("!!document.querySelector('.paging-hit')").toBool(); }, 10000);
        return evaluate("(document.querySelector('.paging-hit .chat-date') || {}).textContent || ''").toString();
    }

    QTemporaryDir work;
    QString exportDir;
    QWebEngineView view;
    int loads = 0;
};

}  // namespace

TEST_F(PagedConversation, SearchFindsTextsOnEveryPageAndLinksToThem) {
    open("Pal.html");
    evaluate("document.getElementById('search-text').value = 'needle'; window.found = -2; "
             "wcrSearch().then(function (n) { window.found = n; }); true");
    ASSERT_TRUE(guitest::waitUntil([&] { return evaluate("window.found").toInt() != -2; }, 30000));
    EXPECT_EQ(2, evaluate("window.found").toInt());
    EXPECT_EQ(QString("Pal_pages/0001.html#m103 Pal_pages/0002.html#m117"),
              evaluate("Array.prototype.map.call(document.querySelectorAll('#search-results li a'), "
                       "function (a) { return a.getAttribute('href'); }).join(' ')")
                  .toString());
    // Following a result opens its page at the message.
    const int before = loads;
    evaluate("document.querySelectorAll('#search-results li a')[1].click(); true");
    ASSERT_TRUE(guitest::waitUntil([&] { return loads > before; }, 30000));
    EXPECT_TRUE(view.url().toString().endsWith("Pal_pages/0002.html#m117"));
    EXPECT_EQ(QString("2015-01-18 00:00:00"), highlighted());
}

TEST_F(PagedConversation, JumpToADateAndToTheDeletedMessages) {
    open("Pal.html");
    const int before = loads;
    evaluate("document.getElementById('jump-date').value = '2015-01-15'; wcrJumpToDate(); true");
    ASSERT_TRUE(guitest::waitUntil([&] { return loads > before; }, 30000));
    EXPECT_TRUE(view.url().toString().endsWith("Pal_pages/0002.html#t=1421280000")) << view.url().toString().toStdString();
    EXPECT_EQ(QString("2015-01-15 00:00:00"), highlighted());
    // The next deleted message from the top of the page, then the one after it.
    evaluate("window.scrollTo(0, 0); wcrNextDeleted(); true");
    EXPECT_EQ(QString("2015-01-14 00:00:00"), highlighted());
    // The deleted count of the table of pages leads to the page's first deleted message.
    open("Pal.html");
    EXPECT_EQ(QString("Pal_pages/0002.html#deleted"),
              evaluate("document.querySelector('#paging-table a[href$=\"#deleted\"]').getAttribute('href')").toString());
    const int deleted = loads;
    evaluate("document.querySelector('#paging-table a[href$=\"#deleted\"]').click(); true");
    ASSERT_TRUE(guitest::waitUntil([&] { return loads > deleted; }, 30000));
    EXPECT_EQ(QString("2015-01-14 00:00:00"), highlighted());
    // A date after the last message opens the newest page.
    open("Pal.html");
    const int again = loads;
    evaluate("document.getElementById('jump-date').value = '2016-01-01'; wcrJumpToDate(); true");
    ASSERT_TRUE(guitest::waitUntil([&] { return loads > again; }, 30000));
    EXPECT_TRUE(view.url().toString().contains("Pal_pages/0003.html"));
}
