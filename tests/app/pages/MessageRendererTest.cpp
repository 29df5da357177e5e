#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>
#include <QUrl>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "app/pages/PageTexts.h"
#include "app/pages/MessageRenderer.h"

using talwen::app::ChatEntry;
using talwen::app::FriendEntry;
using talwen::app::LostChatEntry;
using talwen::app::MediaFileMap;
using talwen::app::MessageRenderer;
using talwen::app::RenderContext;

namespace {

constexpr int64_t k2015 = 1420070400;  // 2015-01-01 00:00:00 UTC
const char* const kAccount = "0123456789abcdef0123456789abcdef";
const char* const kDate = "2015-01-01 00:00:00";

// Wrapper of a received message of the contact "Pal" (live, no sender tag).
const char* const kReceivedOpen =
    R"(<div class="chat leftside"><p class="chat-date">2015-01-01 00:00:00</p><ul class="chat-main">)"
    R"(<li class="chat-face"><img src="images/faces05.png" width="40" height="40"></li><li><p class="chat-name"></p>)";
const char* const kWrapperClose = "</div></li></ul></div>";

class MessageRendererTest : public ::testing::Test {
protected:
    void SetUp() override {
        FriendEntry pal;
        pal.rcFriendId = 1;
        pal.usrName = "friend1";
        pal.nickName = "Pal";
        pal.headImgUrl = "http://img/pal/132";
        FriendEntry member;
        member.rcFriendId = 2;
        member.usrName = "member";
        member.nickName = "Mem";
        member.conRemark = "Remark";
        member.headImgUrl = "http://img/m/132";
        FriendEntry noPicture;
        noPicture.rcFriendId = 3;
        noPicture.usrName = "nopic";
        noPicture.nickName = "NoPic";
        FriendEntry laterSameName = member;  // a higher id with the same user name is not chosen
        laterSameName.rcFriendId = 9;
        laterSameName.conRemark = "Later";
        friends = {{1, pal}, {2, member}, {3, noPicture}, {9, laterSameName}};
        contact = pal;

        const std::string digest = "9beae1a3522d00aa3c9b4b4f10d478c5";  // MD5 of "friend1"
        const QString base = QString("Documents/%1/").arg(kAccount);
        const QString hashed = QString::fromStdString(digest);
        media = {
            {base + "Img/" + hashed + "/5.pic", "PICFILE"},
            {base + "Img/" + hashed + "/6.pic_hd", "HDFILE"},
            {base + "Img/" + hashed + "/6.pic", "NOTTHIS"},
            {base + "Img/" + hashed + "/.pic", "CARVEDPIC"},
            {base + "Img/" + hashed + "/8.pic", "../escape"},
            {base + "Audio/" + hashed + "/5.aud", "AUDFILE"},
            {base + "Video/" + hashed + "/5.video_thum", "THUMBFILE"},
            {base + "Video/" + hashed + "/7.mp4", "MP4FILE"},
            {base + "Video/" + hashed + "/7.video_thum", "NOTTHIS"},
        };
        context.friendMap = &friends;
        context.accountDir = kAccount;
        // Media are shown only when they are regular files of the backup.
        ASSERT_TRUE(backupDir.isValid());
        for (const char* name : {"PICFILE", "HDFILE", "NOTTHIS", "CARVEDPIC", "AUDFILE", "THUMBFILE", "MP4FILE"}) {
            QFile file(backupDir.path() + "/" + name);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        }
        context.backupDir = backupDir.path();
        context.mediaFiles = &media;
        context.ownerPicture = "http://me/132";
    }

    static ChatEntry message(int type, const QString& text, int32_t localId = 5, int des = 1, int obtainWay = 1) {
        ChatEntry entry;
        entry.rcFriendId = 1;
        entry.type = type;
        entry.message = text;
        entry.mesLocalId = localId;
        entry.des = des;
        entry.obtainWay = static_cast<int8_t>(obtainWay);
        entry.createTime = k2015;
        return entry;
    }

    std::string contactPage(const std::vector<ChatEntry>& conversation) const {
        QString page;
        QTextStream out(&page);
        MessageRenderer(context).writeContactPage(out, contact, conversation);
        out.flush();
        return page.toStdString();
    }

    std::string lostPage(const std::vector<LostChatEntry>& group) const {
        QString page;
        QTextStream out(&page);
        MessageRenderer(context).writeLostPage(out, group);
        out.flush();
        return page.toStdString();
    }

    // The page as written with the fake backup directory of the expectations.
    std::string withFakeBackupDir(const std::string& page) const {
        return QString::fromStdString(page)
            .replace(QUrl::fromLocalFile(backupDir.path()).toString(), "file:///backup/dir")
            .toStdString();
    }

    QTemporaryDir backupDir;
    std::map<int32_t, FriendEntry> friends;
    FriendEntry contact;
    MediaFileMap media;
    RenderContext context;
};

std::string textBox(const std::string& text, const char* pointer = "icon-tri3.png") {
    return std::string(R"(<div class="chat-box"><p class="chat-cxt">)") + text + R"(</p><img class="icon-tir" src="images/)" +
           pointer + R"(">)";
}

}  // namespace

TEST_F(MessageRendererTest, ContactPageBodyOfEveryMessageType) {
    struct Case {
        const char* name;
        int type;
        const char* message;
        int32_t localId;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"text", 1, "Hello there", 5, textBox("Hello there")},
        {"picture", 3, "<msg/>", 5,
         R"(<div class="chat-box chat-pic"><p><img src = "file:///backup/dir/PICFILE" width = "110"></p>)"},
        {"picture prefers pic_hd", 3, "", 6,
         R"(<div class="chat-box chat-pic"><p><img src = "file:///backup/dir/HDFILE" width = "110"></p>)"},
        {"picture without media", 3, "", 4, R"(<div class="chat-box chat-pic"><p><span class="media-missing">图片文件不在备份中</span></p>)"},
        {"picture naming a file outside the backup", 3, "", 8, R"(<div class="chat-box chat-pic"><p><span class="media-missing">图片文件不在备份中</span></p>)"},
        // The backup's AUDFILE is empty: no SILK to play (VoiceNoteTest plays real ones).
        {"voice", 34, R"(<msg><voicemsg endflag="1" voicelength="2500"/></msg>)", 5,
         R"(<div class="chat-box voice-box"><img class="icon-tir" src="images/icon-tri3.png"><span class="voice-time">3'</span>)"
         R"(<p class="chat-voice"><img  src="images/icon-voice_0.png">)"
         R"(<span class="voice-status voice-failed">语音文件无法解码</span></p>)"},
        {"voice without file", 34, "not xml", 4,
         R"(<div class="chat-box voice-box"><img class="icon-tir" src="images/icon-tri3.png"><span class="voice-time">未知长度</span>)"
         R"(<p class="chat-voice"><img  onclick="playOrPaused('audio0',this);" src="images/icon-voice_0.png">)"
         R"(<audio src="#"id="audio0"></audio><span class="voice-status voice-failed">语音文件不在备份中</span></p>)"},
        {"name card", 42, R"(<msg username="wxid_card" nickname="Card Name" smallheadimgurl="http://h/0"/>)", 5,
         R"(<div class="chat-box chat-card-box"><img class="icon-tir" src="images/icon-tri3.png"><p class="chat-card">个人名片)"
         R"(</p><ul><li><p><img src="images/faces05.png"width="50" height="50"></p></li><li class="chat-card-info"><p><span>wxid_card)"
         R"(</span><p class="nicheng">Card Name<p></p></li></ul><img class="icon-tir" src="images/icon-tri3.png">)"},
        {"name card not parsed", 42, "<msg", 5, textBox("&lt;名片内容无法解析&gt;")},
        {"video thumbnail", 43, "", 5,
         R"(<a href ="file:///backup/dir/THUMBFILE"><img src="images/video.png"></a>)"},
        {"video file", 62, "", 7, R"(<a href ="file:///backup/dir/MP4FILE"><img src="images/video.png"></a>)"},
        {"video missing", 43, "", 4, R"(<div class="chat-box chat-pic"><p><img src="images/videob.png"><span class="media-missing">视频文件不在备份中</span></p>)"},
        {"custom emoji", 47, "<emoji/>", 5, textBox("&lt;自定义表情暂无法显示&gt;")},
        {"location", 48, "<location/>", 5, textBox("&lt;位置暂无法解析&gt;")},
        {"red packet", 49,
         "<msg><appmsg><title>红包</title><des>恭喜发财：新年快乐</des><type>2001</type></appmsg></msg>", 5,
         R"(<div class="chat-box chat-hb"><img class="hb-pic01" src="images/hb01.png"><p>新年快乐</p><p>领取红包</p>)"
         R"(<div>微信红包<img class="hb-icon" src="images/hb02.png"></div><img class="icon-tir" src="images/icon-tri6.png">)"},
        {"red packet without full-width colon", 49,
         "<msg><appmsg><des>X新年快乐</des><type>2001</type></appmsg></msg>", 5,
         R"(<div class="chat-box chat-hb"><img class="hb-pic01" src="images/hb01.png"><p>新年快乐</p><p>领取红包</p>)"
         R"(<div>微信红包<img class="hb-icon" src="images/hb02.png"></div><img class="icon-tir" src="images/icon-tri6.png">)"},
        {"shared link", 49,
         "<msg><appmsg><title>News</title><des>About</des><type>5</type><url>http://x.y/a</url></appmsg></msg>", 5,
         R"(<div class="chat-box chat-link"><img class="icon-tir" src="images/icon-tri3.png"><p><a href="http://x.y/a">)"
         R"(<img class="icon_link" src="images/icon-00.png">分享链接：News</a></p>)"},
        {"other application message", 49,
         "<msg><appmsg><title>T</title><des>File note</des><type>2000</type><url>https://z/</url></appmsg></msg>", 5,
         R"(<div class="chat-box chat-link"><img class="icon-tir" src="images/icon-tri3.png"><p><a href="https://z/">)"
         R"(<img class="icon_link" src="images/icon-00.png">File note</a></p>)"},
        {"application message not parsed", 49, "<msg>", 5, textBox("&lt;链接内容无法解析&gt;")},
        {"call", 50, "<voipinvitemsg><status>1</status></voipinvitemsg><voiplocalinfo><duration>42</duration></voiplocalinfo>", 5,
         R"(<div class="chat-box chat-video"><p><img src="images/icon-video.png">42 秒</p><img class="icon-tir" src="images/icon-tri3.png">)"},
        {"call not parsed", 50, "<a>", 5,
         R"(<div class="chat-box chat-video"><p><img src="images/icon-video.png"> 时间未知</p><img class="icon-tir" src="images/icon-tri3.png">)"},
        {"system notice", 10000, R"(<a href="weixin://x">Alice</a> joined the group)", 5, textBox("Alice joined the group")},
        {"unknown type", 9999, "whatever", 5, textBox("&lt;消息内容暂不可提取&gt;")},
    };
    for (const Case& c : cases) {
        const std::string page = contactPage({message(c.type, QString::fromUtf8(c.message), c.localId)});
        EXPECT_EQ(std::string(kContactHead) + kReceivedOpen + c.body + kWrapperClose + kPageEnd,
                  withFakeBackupDir(page))
            << c.name;
    }
}

TEST_F(MessageRendererTest, ContactPageWrapperBySenderAndRecovery) {
    struct Case {
        const char* name;
        int des;
        int obtainWay;
        const char* tagged;
        std::string open;  // from the opening element through the name item
    };
    const std::string date = std::string(R"(<p class="chat-date">)") + kDate + R"(</p><ul class="chat-main"><li class="chat-face"><img src=")";
    const std::vector<Case> cases = {
        {"sent", 0, 1, "",
         R"(<div class="chat rightside">)" + date + R"(images/faces05.png" width="40" height="40"></li><li><p class="chat-name"></p>)"},
        {"sent and recovered", 0, 2, "",
         R"(<div class="chat rightside delete">)" + date + R"(images/faces05.png" width="40" height="40"></li><li><p class="chat-name"></p>)"},
        {"received and recovered", 1, 2, "",
         R"(<div class="chat leftside delete-left">)" + date + R"(images/faces05.png" width="40" height="40"></li><li><p class="chat-name"></p>)"},
        {"other direction", 2, 1, "",
         R"(<div class="chat leftside">)" + date + R"(images/faces05.png" width="40" height="40"></li><li><p class="chat-name">Pal</p>)"},
        {"other direction recovered", 2, 2, "",
         R"(<div class="chat leftside delete">)" + date + R"(images/faces05.png" width="40" height="40"></li><li><p class="chat-name">Pal</p>)"},
        {"group member with remark", 1, 1, "member",
         R"(<div class="chat leftside">)" + date + R"(images/faces05.png" width="40" height="40"></li><li><li><p class="chat-name">Remark</p>)"},
        {"group member without picture", 1, 1, "nopic",
         R"(<div class="chat leftside">)" + date + R"(images/faces05.png"></li><li><li><p class="chat-name">NoPic</p>)"},
        {"group member unknown", 1, 1, "stranger",
         R"(<div class="chat leftside">)" + date + R"(images/faces05.png"></li><li><p class="chat-name">stranger</p>)"},
    };
    for (const Case& c : cases) {
        ChatEntry entry = message(1, QString::fromUtf8(c.tagged) + (c.tagged[0] ? ":\nHi" : "Hi"), 5, c.des, c.obtainWay);
        entry.taggedUserName = QString::fromUtf8(c.tagged);
        const std::string expectedText = c.tagged[0] ? "\nHi" : "Hi";
        const char* pointer = c.des == 0 ? "icon-tri1.png" : "icon-tri3.png";
        EXPECT_EQ(std::string(kContactHead) + c.open + textBox(expectedText, pointer) + kWrapperClose + kPageEnd,
                  contactPage({entry}))
            << c.name;
    }

    // A contact without a picture address (e.g. a made-up one) shows the default face.
    contact = friends.at(3);
    const std::string received = std::string(R"(<div class="chat leftside">)") + date +
                                 R"(images/faces05.png" width="40" height="40"></li><li><p class="chat-name"></p>)";
    EXPECT_EQ(std::string(kContactHead) + received + textBox("Hi") + kWrapperClose + kPageEnd,
              contactPage({message(1, "Hi")}));
}

TEST_F(MessageRendererTest, GroupPrefixDateFilterAudioIdsAndOwnerFace) {
    // A picture loses the whole sender prefix; a recovered picture never finds media.
    ChatEntry picture = message(3, "member:\n<msg/>", 5, 1, 2);
    picture.taggedUserName = "member";
    EXPECT_EQ("<msg/>", MessageRenderer::messageText(picture.message, picture.taggedUserName, 3).toStdString());
    EXPECT_EQ("\n<msg/>", MessageRenderer::messageText(picture.message, picture.taggedUserName, 1).toStdString());
    const std::string page = contactPage({picture});
    EXPECT_NE(std::string::npos, page.find(R"(<div class="chat-box chat-pic"><p><span class="media-missing">)"));
    EXPECT_EQ(std::string::npos, page.find("CARVEDPIC"));

    // Messages of 2009 or earlier are left out, but still count for the audio ids.
    std::vector<ChatEntry> conversation;
    for (int i = 0; i < 8; ++i) {
        conversation.push_back(message(i == 3 || i == 7 ? 34 : 1, "<msg/>", 4));
        conversation.back().createTime = i < 2 ? 1262303999 : k2015;  // 2009-12-31 23:59:59 UTC
    }
    const std::string filtered = contactPage(conversation);
    EXPECT_NE(std::string::npos, filtered.find(R"(playOrPaused('audio3',this);)"));
    EXPECT_NE(std::string::npos, filtered.find(R"(id="audio7")"));
    EXPECT_EQ(std::string::npos, filtered.find("2009-12-31"));
    size_t messages = 0;
    for (size_t at = filtered.find("<div class=\"chat "); at != std::string::npos;
         at = filtered.find("<div class=\"chat ", at + 1)) {
        ++messages;
    }
    EXPECT_EQ(6u, messages);

    context.ownerPicture.clear();
    EXPECT_NE(std::string::npos,
              contactPage({message(1, "x", 5, 0)}).find(R"(<img src="images/faces05.png" width="40" height="40">)"));
}

TEST_F(MessageRendererTest, VoiceLengthTable) {
    struct Case {
        const char* payload;
        const char* shown;
    } cases[] = {
        {R"(<msg><voicemsg voicelength="999"/></msg>)", "1'"},
        {R"(<msg><voicemsg voicelength="1000"/></msg>)", "2'"},
        {R"(<msg><other voicelength="5000"/></msg>)", "1'"},
        {R"(<msg><voicemsg voicelength="abc"/></msg>)", "1'"},
        {R"(<msg><voicemsg voicelength="59999"/><voicemsg voicelength="1"/></msg>)", "60'"},
        {"<msg", "未知长度"},
    };
    for (const auto& c : cases) {
        const std::string page = contactPage({message(34, QString::fromUtf8(c.payload), 4)});
        EXPECT_NE(std::string::npos, page.find(std::string(R"(<span class="voice-time">)") + c.shown + "</span>"))
            << c.payload;
    }
}

TEST(StripTags, RemovesMarkupUntilNoAngleBracketRemains) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"a<b>c</b>d", "acd"},
        {"x>y", "y"},
        {"keep<cut", "keep"},
        {"plain", "plain"},
        {"><", ""},
        {R"(<a href="weixin://contacts/profile/x">Alice</a> invited you)", "Alice invited you"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.out, MessageRenderer::stripTags(QString::fromUtf8(c.in)).toStdString()) << c.in;
    }
}

// Media directories are named after the MD5 of the user name's UTF-8 bytes; lengths
// around the padding boundaries need one or two closing blocks.
TEST(ContactDigest, KnownDigests) {
    struct Case {
        QString usrName;
        const char* digest;
    } cases[] = {{QString(), "d41d8cd98f00b204e9800998ecf8427e"},
                 {QString(55, 'x'), "04364420e25c512fd958a70738aa8f72"},
                 {QString(56, 'x'), "668a72d5ba17f08e62dabcafad6db14b"},
                 {QString(64, 'x'), "c1bb4f81d892b2d57947682aeb252456"},
                 {QString(119, 'x'), "ab347a5f68c8a443cfcddc633f12c24f"},
                 {QString(120, 'x'), "fb98667f98096de92620b64f46e1c5b5"},
                 {QString::fromUtf8("\xe5\xbe\xae\xe4\xbf\xa1"), "cfbf6f4c8292010ff4193c507b2d9f80"}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.digest, MessageRenderer::contactDigest(c.usrName).toStdString()) << c.usrName.size();
    }
}

TEST_F(MessageRendererTest, LostPageOfEveryDifferingType) {
    struct Case {
        const char* name;
        int type;
        const char* message;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"text", 1, "Hi", textBox("Hi")},
        {"picture", 3, "<msg/>", R"(<div class="chat-box chat-pic"><p><span class="media-missing">图片文件不在备份中</span></p>)"},
        {"voice", 34, R"(<msg><voicemsg voicelength="1500"/></msg>)",
         R"(<div class="chat-box voice-box"><img class="icon-tir" src="images/icon-tri3.png"><span class="voice-time">2'</span>)"
         R"(<p class="chat-voice"><img  onclick="playOrPaused('firefox',this);" src="images/icon-voice_0.png">)"
         R"(<audio src="#"id="audio"></audio><span class="voice-status voice-failed">语音文件不在备份中</span></p>)"},
        {"video", 43, "", R"(<div class="chat-box chat-pic"><p><img src="images/videob.png"><span class="media-missing">视频文件不在备份中</span></p>)"},
        {"application message not parsed", 49, "<msg", textBox("&lt;分享链接内容无法解析&gt;")},
        {"shared link", 49, "<msg><appmsg><title>N</title><type>5</type><url>http://u/</url></appmsg></msg>",
         R"(<div class="chat-box chat-link"><img class="icon-tir" src="images/icon-tri3.png"><p><a href="http://u/">)"
         R"(<img class="icon_link" src="images/icon-00.png">分享链接：N</a></p>)"},
        {"call", 50, "<voiplocalinfo><duration>7</duration></voiplocalinfo>",
         R"(<div class="chat-box"><div class="chat-box chat-video"><p><img src="images/icon-video.png">7 秒</p><img class="icon-tir" src="images/icon-tri3.png">)"},
        {"call not parsed", 50, "<a>",
         R"(<div class="chat-box chat-video"><p><img src="images/icon-video.png"> 时间未知</p><img class="icon-tir" src="images/icon-tri3.png">)"},
        {"unknown type", 10002, "x", textBox("&lt;消息内容暂不可提取&gt;")},
    };
    const std::string open =
        R"(<div class="chat leftside delete-left"><p class="chat-date">2015-01-01 08:00:00</p><ul class="chat chat-main">)"
        R"(<li class="chat-face"><img src="images/faces05.png" width="40" height="40"></li><li><p class="chat-name">wxid_from</p>)";
    for (const Case& c : cases) {
        LostChatEntry entry;
        entry.pageNumber = 12;
        entry.type = c.type;
        entry.des = 1;
        entry.obtainWay = 2;
        entry.created = "2015-01-01 08:00:00";
        entry.fromUserName = "wxid_from";
        entry.message = QString::fromUtf8(c.message);
        EXPECT_EQ(std::string(kLostHead) + open + c.body + kWrapperClose + kPageEnd, lostPage({entry})) << c.name;
    }
}

TEST_F(MessageRendererTest, LostPageWrapperBySender) {
    struct Case {
        const char* name;
        int des;
        const char* tagged;
        std::string face;
    } cases[] = {
        {"sent", 0, "", R"(images/faces05.png" width="40" height="40"></li><li><p class="chat-name"></p>)"},
        {"other direction", 5, "", R"(images/faces05.png" width="40" height="40"></li><li><p class="chat-name">wxid_from</p>)"},
        {"group member", 1, "member", R"(images/faces05.png" width="40" height="40"></li><li><li><p class="chat-name">Remark</p>)"},
        {"group member unknown", 1, "stranger", R"(images/faces05.png"></li><li><li><p class="chat-name">stranger</p>)"},
    };
    for (const Case& c : cases) {
        LostChatEntry entry;
        entry.type = 1;
        entry.des = c.des;
        entry.obtainWay = 2;
        entry.created = "2016-02-03 04:05:06";
        entry.fromUserName = "wxid_from";
        entry.taggedUserName = QString::fromUtf8(c.tagged);
        entry.message = entry.taggedUserName.isEmpty() ? QString("Yo") : entry.taggedUserName + ":\nYo";
        const char* cls = c.des == 0 ? "chat rightside delete" : (c.des == 1 ? "chat leftside delete-left" : "chat leftside delete");
        const std::string expected = std::string(kLostHead) + R"(<div class=")" + cls +
                                     R"("><p class="chat-date">2016-02-03 04:05:06</p><ul class="chat chat-main"><li class="chat-face"><img src=")" +
                                     c.face + textBox(c.tagged[0] ? "\nYo" : "Yo", c.des == 0 ? "icon-tri1.png" : "icon-tri3.png") +
                                     kWrapperClose + kPageEnd;
        EXPECT_EQ(expected, lostPage({entry})) << c.name;
    }
}

// Texts of the scanned database are data, never markup: a crafted message, name or
// address must not add elements, attributes or script addresses to the page.
TEST_F(MessageRendererTest, EscapesEveryTextTakenFromTheDatabase) {
    friends[1].nickName = "<b>Pal</b>";
    contact.nickName = "<b>Pal</b>";
    contact.headImgUrl = R"(x" onerror="alert(1))";
    friends[2].conRemark = "<i>boss</i>";
    std::vector<ChatEntry> conversation = {
        message(1, "<script>alert(1)</script> & co"),
        message(1, "x", 5, 2),
        message(42, R"(<msg username="&lt;u&gt;" nickname="n&quot;" smallheadimgurl="a&quot; onload=&quot;x"/>)"),
        message(49, "<msg><appmsg><title>&lt;img src=x&gt;</title><type>5</type><url>javascript:alert(1)</url></appmsg></msg>"),
        message(49, "<msg><appmsg><des>d</des><type>1</type><url> JavaScript:alert(1)</url></appmsg></msg>"),
        message(49, "<msg><appmsg><des>e</des><type>1</type><url>data:text/html,x</url></appmsg></msg>"),
        message(49, "<msg><appmsg><des>恭喜：&lt;svg onload=x&gt;</des><type>2001</type></appmsg></msg>"),
        message(42, R"x(<msg username="u" nickname="n" smallheadimgurl="javascript:alert(1)"/>)x"),
        message(42, R"(<msg username="u" nickname="n" smallheadimgurl="//share/x.png"/>)"),
        message(10000, "&lt;img src=x onerror=alert(1)&gt;"),
        message(50, "<voiplocalinfo><duration>&lt;b&gt;</duration></voiplocalinfo>"),
    };
    ChatEntry tagged = message(1, "<i>boss</i>\n:\nhey");
    tagged.taggedUserName = "member";
    tagged.message = "member:\n<img src=x>";
    conversation.push_back(tagged);
    ChatEntry stranger = message(1, "");
    stranger.taggedUserName = "<script>";
    stranger.message = "<script>:\nhi";
    conversation.push_back(stranger);

    const std::string page = contactPage(conversation);
    for (const char* forbidden : {"<script>alert", "//share", "<b>", "<i>", "<img src=x", "<svg", "onerror=\"", "onload=\"",
                                  "javascript:", "JavaScript:", "data:text", "<u>", "<script>:"}) {
        EXPECT_EQ(std::string::npos, page.find(forbidden)) << forbidden;
    }
    // The crafted picture address is not even written: pages show local faces only.
    EXPECT_EQ(std::string::npos, page.find("alert(1))")) << page;
    for (const char* shown : {"&lt;script&gt;alert(1)&lt;/script&gt; &amp; co", "&lt;b&gt;Pal&lt;/b&gt;",
                              "&lt;i&gt;boss&lt;/i&gt;", "<span>&lt;u&gt;</span>",
                              R"(<a href="#">)", R"(<p><img src="images/faces05.png"width="50" height="50"></p>)", "分享链接：&lt;img src=x&gt;", "<p>&lt;svg onload=x&gt;</p>",
                              "&amp;lt;img src=x onerror=alert(1)&amp;gt;", "&lt;b&gt; 秒", "\n&lt;img src=x&gt;",
                              R"(<p class="chat-name">&lt;script&gt;</p>)"}) {
        EXPECT_NE(std::string::npos, page.find(shown)) << shown;
    }
}

// The chat partner writes the XML of these messages; nesting deep enough to
// overflow the stack of a recursive parser shows the type's fallback instead.
TEST_F(MessageRendererTest, DeeplyNestedPayloadsShowTheFallback) {
    constexpr int kDepth = 50000;  // overflows the main thread's stack in the DOM
    const QString deep = QString("<a>").repeated(kDepth) + QString("</a>").repeated(kDepth);
    struct Case {
        int type;
        QString message;
        std::string body;
    };
    const Case cases[] = {
        {34, "<msg>" + deep + "</msg>",
         R"(<div class="chat-box voice-box"><img class="icon-tir" src="images/icon-tri3.png"><span class="voice-time">未知长度</span>)"},
        {42, "<msg>" + deep + "</msg>", textBox("&lt;名片内容无法解析&gt;")},
        {49, "<msg><appmsg>" + deep + "</appmsg></msg>", textBox("&lt;链接内容无法解析&gt;")},
        {50, deep, R"(<div class="chat-box chat-video"><p><img src="images/icon-video.png"> 时间未知</p>)"},
    };
    for (const Case& c : cases) {
        const std::string page = contactPage({message(c.type, c.message)});
        EXPECT_NE(std::string::npos, page.find(std::string(kReceivedOpen) + c.body)) << c.type;
        EXPECT_NE(std::string::npos, page.find(kPageEnd)) << c.type;
    }
    LostChatEntry lost;
    lost.des = 1;
    lost.type = 49;
    lost.message = "<msg>" + deep + "</msg>";
    EXPECT_NE(std::string::npos, lostPage({lost}).find(textBox("&lt;分享链接内容无法解析&gt;")));
}

// Only a regular file below the backup directory is a message's media, also in the
// "<two digits>/<fileID>" layout of backups with a Manifest.db; a link (to a file
// or to a directory), a pipe or a directory under the mapped name counts as missing.
TEST_F(MessageRendererTest, MediaAreRegularFilesOfTheBackupReachedThroughNoLink) {
    QTemporaryDir outside;
    ASSERT_TRUE(outside.isValid());
    QFile secret(outside.path() + "/secret");
    ASSERT_TRUE(secret.open(QIODevice::WriteOnly));
    secret.close();
    ASSERT_TRUE(QDir().mkpath(outside.path() + "/dir"));
    ASSERT_TRUE(QFile::copy(outside.path() + "/secret", outside.path() + "/dir/" + QString(40, 'c')));

    const QString backup = backupDir.path();
    const QString fileId = QString(40, 'a');
    ASSERT_TRUE(QDir().mkpath(backup + "/aa"));
    ASSERT_TRUE(QFile::copy(outside.path() + "/secret", backup + "/aa/" + fileId));
    ASSERT_TRUE(QFile::link(outside.path() + "/secret", backup + "/LINKED"));
    ASSERT_TRUE(QFile::link(outside.path() + "/dir", backup + "/cc"));
    ASSERT_EQ(0, ::mkfifo(QFile::encodeName(backup + "/PIPE").constData(), 0600));
    ASSERT_TRUE(QDir().mkpath(backup + "/DIRECTORY"));

    const QString base = QString("Documents/%1/Img/9beae1a3522d00aa3c9b4b4f10d478c5/").arg(kAccount);
    struct Case {
        int32_t localId;
        QString fileName;
        bool shown;
    };
    const Case cases[] = {
        {20, "aa/" + fileId, true},       {21, "LINKED", false},    {22, "cc/" + QString(40, 'c'), false},
        {23, "PIPE", false},              {24, "DIRECTORY", false}, {25, "aa/../aa/" + fileId, false},
        {26, backup + "/aa/" + fileId, false},
    };
    for (const Case& c : cases) {
        media[base + QString::number(c.localId) + ".pic"] = c.fileName;
    }
    for (const Case& c : cases) {
        const std::string page = contactPage({message(3, "", c.localId)});
        const std::string shown = R"(<img src = ")" +
                                  QUrl::fromLocalFile(backup + "/" + c.fileName).toString().toStdString() +
                                  R"(" width = "110"></p>)";
        EXPECT_EQ(c.shown, page.find(shown) != std::string::npos) << c.localId;
        EXPECT_EQ(!c.shown, page.find(R"(<div class="chat-box chat-pic"><p><span class="media-missing">)") != std::string::npos)
            << c.localId;
    }
}
