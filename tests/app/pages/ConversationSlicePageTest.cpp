#include <string>

#include <QTextStream>

#include <gtest/gtest.h>

#include "app/pages/ConversationViewer.h"
#include "app/pages/MessageRenderer.h"
#include "app/pages/PageTexts.h"
#include "app/store/RecoveredData.h"

using talwen::app::ChatEntry;
using talwen::app::ConversationSlice;
using talwen::app::ConversationViewer;
using talwen::app::FriendEntry;
using talwen::app::MessageCursor;
using talwen::app::MessageRenderer;
using talwen::app::RecoveredData;
using talwen::app::RenderContext;

namespace {

constexpr int64_t k2015 = 1420070400;  // 2015-01-01 00:00:00 UTC

ChatEntry voiceNote(int32_t rcChatId) {
    ChatEntry entry;
    entry.rcChatId = rcChatId;
    entry.type = 34;
    entry.des = 1;
    entry.obtainWay = 1;
    entry.createTime = k2015;
    entry.message = "<msg/>";
    return entry;
}

std::string slicePage(const ConversationSlice& slice) {
    QString page;
    QTextStream out(&page);
    MessageRenderer(RenderContext()).writeContactSlicePage(out, FriendEntry(), slice);
    out.flush();
    return page.toStdString();
}

}  // namespace

TEST(ConversationSlicePage, LoadEarlierLinkOnlyWhenEarlierMessagesExist) {
    ConversationSlice slice;
    slice.messages = {voiceNote(17), voiceNote(18)};
    slice.first = MessageCursor{k2015, 17};
    slice.hasEarlier = true;
    const std::string withEarlier = slicePage(slice);
    const std::string link =
        R"(<div class="load-earlier" id="load-earlier"><a href="#wcr-earlier:1420070400/17">查看更早的消息</a></div>)";
    EXPECT_EQ(0u, withEarlier.find(std::string(kContactHead) + link));
    // Voice notes of slices are numbered by message, so slices put together never share an id.
    EXPECT_NE(std::string::npos, withEarlier.find(R"(id="audio17")"));
    EXPECT_NE(std::string::npos, withEarlier.find(R"(id="audio18")"));

    slice.hasEarlier = false;
    const std::string whole = slicePage(slice);
    EXPECT_EQ(std::string::npos, whole.find("load-earlier"));
    EXPECT_EQ(0u, whole.find(kContactHead));
}

TEST(ConversationSlicePage, EarlierLinksReadBack) {
    MessageCursor cursor;
    ASSERT_TRUE(talwen::app::parseEarlierMessagesLink(
        talwen::app::earlierMessagesLink(MessageCursor{1420070400, 2147483647}), &cursor));
    EXPECT_EQ(1420070400, cursor.createTime);
    EXPECT_EQ(2147483647, cursor.rcChatId);
    for (const char* other : {"http://example.com/", "wcr-earlier:1/2", "#wcr-earlier:", "#wcr-earlier:1/2/3", "#wcr-earlier:x/2",
                              "#wcr-earlier:1/99999999999", "#WCR-EARLIER:1/2"}) {
        EXPECT_FALSE(talwen::app::parseEarlierMessagesLink(QString::fromLatin1(other), &cursor)) << other;
    }
}

TEST(ConversationSlicePage, EarlierMessagesScriptCarriesTheHtmlAsAStringAndTheNextLink) {
    RecoveredData data;
    ConversationSlice slice;
    ChatEntry text = voiceNote(5);
    text.type = 1;
    text.message = QString::fromUtf8("quote \" backslash \\ </script> line\u2028end");
    slice.messages = {text};
    slice.first = MessageCursor{k2015, 5};
    slice.hasEarlier = true;
    const std::string script = ConversationViewer::earlierMessagesScript(data, RenderContext(), 1, slice).toStdString();
    EXPECT_EQ(0u, script.find(R"(wcrPrependEarlier.apply(null, ["<div class=\"chat leftside\">)")) << script;
    EXPECT_NE(std::string::npos, script.find(R"(quote \" backslash \\ &lt;/script&gt; line\u2028end)")) << script;
    EXPECT_NE(std::string::npos, script.find(R"(","#wcr-earlier:1420070400/5"]);)")) << script;

    slice.hasEarlier = false;
    const std::string last = ConversationViewer::earlierMessagesScript(data, RenderContext(), 1, slice).toStdString();
    EXPECT_NE(std::string::npos, last.find(R"(",null]);)")) << last;
}
