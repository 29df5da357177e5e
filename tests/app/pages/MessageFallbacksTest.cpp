#include <cstdlib>
#include <ctime>
#include <map>

#include <QTextStream>

#include <gtest/gtest.h>

#include "app/pages/MessageFallbacks.h"
#include "app/pages/MessageRenderer.h"
#include "app/store/PageTime.h"

using talwen::app::ChatEntry;
using talwen::app::FriendEntry;
using talwen::app::LostChatEntry;
using talwen::app::MessageRenderer;
using talwen::app::RenderContext;

namespace {

constexpr int64_t k2015 = 1420070400;  // 2015-01-01 00:00:00 UTC
const char* const kMd5 = "0123456789abcdef0123456789abcdef";

// Switches the process to another zone for one test; the app tests run in UTC.
class ZoneScope {
public:
    explicit ZoneScope(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneScope() {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

std::string contactPage(const RenderContext& context, const std::vector<ChatEntry>& conversation) {
    FriendEntry pal;
    pal.rcFriendId = 1;
    pal.usrName = "pal";
    QString page;
    QTextStream out(&page);
    MessageRenderer(context).writeContactPage(out, pal, conversation);
    out.flush();
    return page.toStdString();
}

}  // namespace

TEST(MessageFallbacksTest, FactsFromTheMessageOrTheBareFallback) {
    const QString md5 = QString::fromLatin1(kMd5);
    const struct {
        const char* name;
        QString (*fallback)(const QString&);
        QString payload;
        const char* expected;
    } cases[] = {
        {"picture with size and digest", talwen::app::missingPictureText,
         R"(<?xml version="1.0"?><msg><img length="123456" md5=")" + md5 + R"(" /></msg>)",
         "图片文件不在备份中 · 大小 120.56 KiB · MD5 0123456789abcdef0123456789abcdef"},
        {"picture prefers the HD size", talwen::app::missingPictureText,
         R"(<msg><img length="10" hdlength="2097152"/></msg>)", "图片文件不在备份中 · 大小 2.00 MiB"},
        {"picture with a digest that is none", talwen::app::missingPictureText,
         R"(<msg><img length="x" md5="&lt;script&gt;"/></msg>)", "图片文件不在备份中"},
        {"picture payload not parsed", talwen::app::missingPictureText, "<msg><img", "图片文件不在备份中"},
        {"video", talwen::app::missingVideoText,
         R"(<msg><videomsg length="1048576" playlength="12" md5=")" + md5 + R"("/></msg>)",
         "视频文件不在备份中 · 时长 12 秒 · 大小 1.00 MiB · MD5 0123456789abcdef0123456789abcdef"},
        {"video without fields", talwen::app::missingVideoText, "", "视频文件不在备份中"},
        {"location", talwen::app::locationText,
         R"(<msg><location x="22.543" y="114.057" label="深圳市南山区" poiname="腾讯大厦"/></msg>)",
         "位置：腾讯大厦 深圳市南山区 (22.543000, 114.057000)"},
        {"location with coordinates only", talwen::app::locationText, R"(<msg><location x="1" y="2"/></msg>)",
         "位置：(1.000000, 2.000000)"},
        {"location without anything", talwen::app::locationText, "<msg><location/></msg>", ""},
        {"location not parsed", talwen::app::locationText, "<msg", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QString::fromUtf8(c.expected), c.fallback(c.payload)) << c.name;
    }
    EXPECT_EQ(QStringLiteral("文件：报告.pdf · 大小 2.00 KiB · 类型 pdf"),
              talwen::app::fileText(QStringLiteral("报告.pdf"),
                                    "<msg><appmsg><type>6</type><appattach><totallen>2048</totallen>"
                                    "<fileext>pdf</fileext></appattach></appmsg></msg>"));
    EXPECT_EQ(QStringLiteral("文件：（无文件名）"), talwen::app::fileText(QString(), "<msg"));
}

TEST(MessageFallbacksTest, EveryTypeWithMissingFieldsStillSaysWhatItIs) {
    RenderContext context;
    const struct {
        int type;
        const char* payload;
        const char* shown;
    } cases[] = {
        {3, R"(<msg><img length="2048" md5="0123456789abcdef0123456789abcdef"/></msg>)",
         "图片文件不在备份中 · 大小 2.00 KiB · MD5 0123456789abcdef0123456789abcdef"},
        {43, "", "视频文件不在备份中"},
        {48, R"(<msg><location poiname="Café &lt;1&gt;"/></msg>)", "位置：Café &lt;1&gt;"},
        {49, "<msg><appmsg><title>a.zip</title><type>6</type></appmsg></msg>", "文件：a.zip"},
        {49, "<msg><appmsg><type>5</type><url>https://x.y/</url></appmsg></msg>", "分享链接：https://x.y/"},
        {49, "<msg><appmsg><title>转账</title><type>2000</type></appmsg></msg>", "转账"},
        {49, "<msg><appmsg><type>2001</type></appmsg></msg>", "微信红包"},
        {50, "<voiplocalinfo/>", "> 时间未知<"},
        {10000, "<a href=\"x\"></a>", "&lt;系统消息&gt;"},
        {42, "<msg", "&lt;名片内容无法解析&gt;"},
    };
    for (const auto& c : cases) {
        ChatEntry entry;
        entry.type = c.type;
        entry.des = 1;
        entry.obtainWay = 2;  // recovered: never any media
        entry.createTime = k2015;
        entry.message = QString::fromUtf8(c.payload);
        const std::string page = contactPage(context, {entry});
        EXPECT_NE(std::string::npos, page.find(c.shown)) << c.type << " " << c.payload << "\n" << page;
    }
}

TEST(MessageFallbacksTest, PagesStateTheirZoneAndUtcWritesUtc) {
    ChatEntry winter;
    winter.type = 1;
    winter.des = 1;
    winter.obtainWay = 1;
    winter.message = "Hi";
    winter.createTime = k2015;             // 2015-01-01 00:00:00 UTC
    ChatEntry summer = winter;
    summer.createTime = k2015 + 181 * 86400;  // 2015-07-01 00:00:00 UTC
    RenderContext context;
    {
        const ZoneScope zone("CST-8");
        const std::string local = contactPage(context, {winter});
        EXPECT_NE(std::string::npos, local.find(R"(<p class="page-zone">时间为 UTC+08:00</p>)"));
        EXPECT_NE(std::string::npos, local.find(">2015-01-01 08:00:00<"));
        context.utc = true;
        const std::string utc = contactPage(context, {winter});
        EXPECT_NE(std::string::npos, utc.find(R"(<p class="page-zone">时间为 UTC</p>)"));
        EXPECT_NE(std::string::npos, utc.find(">2015-01-01 00:00:00<"));
    }
    {
        // Daylight saving time within one page: both offsets are named.
        const ZoneScope zone("CET-1CEST,M3.5.0,M10.5.0/3");
        context.utc = false;
        const std::string page = contactPage(context, {winter, summer});
        EXPECT_NE(std::string::npos, page.find("时间为 UTC+01:00 / UTC+02:00")) << page;
        EXPECT_NE(std::string::npos, page.find(">2015-07-01 02:00:00<"));
        EXPECT_EQ(QStringLiteral("+02:00"), talwen::app::utcOffsetText(talwen::app::pageUtcOffset(summer.createTime, false)));
    }
    {
        // Unknown-friend pages get the store's local text; in UTC it is converted back.
        const ZoneScope zone("CST-8");
        LostChatEntry lost;
        lost.type = 1;
        lost.des = 1;
        lost.obtainWay = 2;
        lost.message = "Yo";
        lost.created = "2015-01-01 08:00:00";
        context.utc = true;
        QString page;
        QTextStream out(&page);
        MessageRenderer(context).writeLostPage(out, {lost});
        out.flush();
        EXPECT_TRUE(page.contains(">2015-01-01 00:00:00<")) << page.toStdString();
    }
    EXPECT_EQ(QStringLiteral("-03:30"), talwen::app::utcOffsetText(-12600));
    EXPECT_EQ(QStringLiteral("2015-01-01T00:00:00Z"), talwen::app::isoUtcText(k2015));
}
