#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>
#include <QUrl>

#include <gtest/gtest.h>

#include "app/support/TestFiles.h"
#include "app/support/TestStore.h"
#include "app/export/ChatExporter.h"
#include "app/pages/ConversationViewer.h"
#include "app/export/ExportFileNames.h"
#include "wchat/Md5.h"
#include "app/pages/PageAssets.h"
#include "app/store/RecoveredData.h"

using talwen::app::ChatExporter;
using talwen::app::ConversationViewer;
using talwen::app::ExportFileNames;
using talwen::app::ExportItem;
using talwen::app::ExportProgress;
using talwen::app::MediaFileMap;
using talwen::app::PageAssets;
using talwen::app::PageFile;
using talwen::app::RecoveredData;
using talwen::app::RenderContext;
using talwen::common::ErrorInfo;

using talwen::app::test::readFile;
using talwen::app::test::writeFile;

namespace {

constexpr int64_t k2015 = 1420070400;
const char* const kAccount = "0123456789abcdef0123456789abcdef";

int countOf(const QByteArray& text, const QByteArray& piece) {
    return text.count(piece);
}

// A finished store, a backup directory with media and a working directory with the
// installed page assets.
class ChatExporterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(work.isValid() && backup.isValid() && chosen.isValid());
        ASSERT_TRUE(PageAssets::install(work.path()));
        writeFile(backup.path() + "/PICFILE", "picture bytes");
        writeFile(backup.path() + "/AUDFILE", "voice bytes");
        writeFile(backup.path() + "/VIDFILE", "video bytes");

        const QString hashed = QString::fromStdString(talwen::wchat::Md5::hexDigest("pal"));
        const QString base = QString("Documents/%1/").arg(kAccount);
        media = {{base + "Img/" + hashed + "/5.pic", "PICFILE"},
                 {base + "Audio/" + hashed + "/6.aud", "AUDFILE"},
                 {base + "Video/" + hashed + "/7.mp4", "VIDFILE"}};

        const int64_t pal = addContact("pal", "Pal", 3);
        addMessage(pal, 3, "<msg/>", 5, k2015 + 100);
        addMessage(pal, 34, R"(<msg><voicemsg voicelength="3000"/></msg>)", 6, k2015 + 101);
        addMessage(pal, 43, "", 7, k2015 + 102);
        addContact("twin1", "Twin", 1);
        addContact("twin2", "twin", 1);
        addContact("climber", "../x", 1);
        addContact("odd", "a/b:c*?\"<>|", 1);
        addContact("device", "CON", 1);
        addContact("blank", "", 1);
        addContact("clash", "未知好友7", 1);
        // A conversation recovered from a dropped table: its made-up owner is tied
        // to the messages through WC_Chatroom only.
        const int64_t madeUp = store.addFriend({"", "未知联系人-1", "未知联系人-1", "", "", 101});
        TestStore::Chat carved;
        carved.obtainWay = 2;
        carved.createTime = k2015;
        carved.message = "recovered";
        store.tie(madeUp, store.addChat(carved), false);
        // An unknown-friend group on page 7.
        TestStore::Chat lost;
        lost.obtainWay = 2;
        lost.hasPageNumber = true;
        lost.pageNumber = 7;
        lost.message = "lost <b>";
        store.addChat(lost);
        store.finish();

        ErrorInfo error;
        data.loadFriends(store.db(), &error);
        data.loadLostFriendChats(store.db(), &error);
        context.friendMap = &data.friendMap();
        context.accountDir = kAccount;
        context.backupDir = backup.path();
        context.mediaFiles = &media;
    }

    int64_t addContact(const std::string& usrName, const std::string& nickName, int messages) {
        const int64_t id = store.addFriend({usrName, nickName, "", "", "", 1});
        for (int i = 0; i < messages; ++i) {
            addMessage(id, 1, "text " + std::to_string(i), 100 + i, k2015 + i);
        }
        return id;
    }

    void addMessage(int64_t id, int type, const std::string& text, int64_t localId, int64_t time) {
        TestStore::Chat chat;
        chat.type = type;
        chat.message = text;
        chat.mesLocalId = localId;
        chat.createTime = time;
        store.tie(id, store.addChat(chat));
    }

    QString exportDir() const { return chosen.path() + "/微信聊天记录恢复"; }

    QTemporaryDir work;
    QTemporaryDir backup;
    QTemporaryDir chosen;
    TestStore store;
    RecoveredData data;
    MediaFileMap media;
    RenderContext context;
};

}  // namespace

TEST_F(ChatExporterTest, ExportAllWritesSiteWithSafeUniqueNamesAndMediaCopies) {
    QDir().mkpath(exportDir() + "/files");
    writeFile(exportDir() + "/files/AUDFILE", "kept from an earlier export");

    ChatExporter exporter(store.db(), data, context);
    exporter.setPacing(0, 0);
    ASSERT_TRUE(exporter.prepareExportDirectory(chosen.path(), work.path()));
    for (const QString& asset : PageAssets::files()) {
        EXPECT_EQ(readFile(work.path() + "/temp/" + asset), readFile(exportDir() + "/" + asset)) << asset.toStdString();
    }

    const std::vector<ExportItem> items = ChatExporter::exportAllSet(data);
    std::vector<ExportProgress> reports;
    const std::vector<PageFile> pages =
        exporter.exportConversations(items, [&](const ExportProgress& p) { reports.push_back(p); });
    ASSERT_EQ(10u, items.size());  // nine contacts, made-up one included, and one unknown friend
    ASSERT_EQ(items.size(), pages.size());
    for (const PageFile& page : pages) {
        EXPECT_TRUE(page.written) << page.path.toStdString();
    }

    QStringList written = QDir(exportDir()).entryList({"*.html"}, QDir::Files | QDir::Hidden);
    written.sort();
    QStringList expected = {"Pal.html",     "Twin.html",        "twin_2.html",        "_.._x.html",
                            "a_b_c______.html", "_CON.html",   "_.html",             "未知好友7.html",
                            "未知联系人-1.html", "未知好友7_2.html"};
    expected.sort();
    EXPECT_EQ(expected.join(" ").toStdString(), written.join(" ").toStdString());
    EXPECT_FALSE(QFile::exists(chosen.path() + "/x.html"));

    // Media: pictures and voice notes copied under their backup names, an existing
    // copy kept; videos link into the backup.
    EXPECT_EQ("picture bytes", readFile(exportDir() + "/files/PICFILE"));
    EXPECT_EQ("kept from an earlier export", readFile(exportDir() + "/files/AUDFILE"));
    const QByteArray pal = readFile(exportDir() + "/Pal.html");
    EXPECT_EQ(1, countOf(pal, R"(<img src = "files/PICFILE" width = "110"></p>)"));
    // The backup's voice file is no SILK: the page says so in words.
    EXPECT_EQ(1, countOf(pal, "语音文件无法解码"));
    EXPECT_FALSE(QFile::exists(exportDir() + "/voice/AUDFILE.js"));
    EXPECT_EQ(1, countOf(pal, QString(R"(<a href ="%1">)").arg(QUrl::fromLocalFile(backup.path() + "/VIDFILE").toString()).toUtf8()));
    EXPECT_TRUE(pal.startsWith("<!DOCTYPE html>"));
    EXPECT_EQ(1, countOf(pal, "<title>聊天界面</title>"));  // UTF-8 on disk

    EXPECT_EQ(1, countOf(readFile(exportDir() + "/未知联系人-1.html"), "recovered"));
    EXPECT_EQ(1, countOf(readFile(exportDir() + "/未知好友7_2.html"), "lost &lt;b&gt;"));

    // One report per page, then the closing one.
    ASSERT_EQ(items.size() + 1, reports.size());
    EXPECT_EQ("预计剩余时间：00:00:01", reports[0].text.toStdString());  // 9 remaining / 5
    EXPECT_EQ(1, reports[0].done);
    EXPECT_FALSE(reports[0].finished);
    EXPECT_EQ(10, reports.back().done);
    EXPECT_EQ(10, reports.back().total);
    EXPECT_TRUE(reports.back().finished);
    EXPECT_EQ("预计剩余时间：00:00:00", reports.back().text.toStdString());
}

// Media of backups with a Manifest.db lie in "<two digits>/<fileID>" and are
// exported; a link in the backup, to a file or to a directory, is never followed,
// so no file of this computer reaches the export.
TEST_F(ChatExporterTest, ExportCopiesRegularMediaOfBothLayoutsAndNeverFollowsALink) {
    QTemporaryDir outside;
    ASSERT_TRUE(outside.isValid());
    writeFile(outside.path() + "/secret", "host secret");
    const QString fileId = QString(40, QChar('a'));
    const QString videoId = QString(40, QChar('c'));
    ASSERT_TRUE(QDir().mkpath(backup.path() + "/aa"));
    writeFile(backup.path() + "/aa/" + fileId, "picture in a subdirectory");
    ASSERT_TRUE(QFile::link(outside.path() + "/secret", backup.path() + "/LINKED"));
    ASSERT_TRUE(QDir().mkpath(outside.path() + "/cc"));
    writeFile(outside.path() + "/cc/" + videoId, "host video");
    ASSERT_TRUE(QFile::link(outside.path() + "/cc", backup.path() + "/cc"));
    const QString hashed = QString::fromStdString(talwen::wchat::Md5::hexDigest("pal"));
    const QString base = QString("Documents/%1/").arg(kAccount);
    media = {{base + "Img/" + hashed + "/5.pic", "aa/" + fileId},
             {base + "Audio/" + hashed + "/6.aud", "LINKED"},
             {base + "Video/" + hashed + "/7.mp4", "cc/" + videoId}};

    ChatExporter exporter(store.db(), data, context);
    exporter.setPacing(0, 0);
    ASSERT_TRUE(exporter.prepareExportDirectory(chosen.path(), work.path()));
    int32_t pal = -1;
    for (const auto& entry : data.displayList()) {
        if (entry.nickName == "Pal") pal = entry.rcFriendId;
    }
    exporter.exportConversations({{ExportItem::Kind::Contact, pal}}, nullptr);

    const QByteArray page = readFile(exportDir() + "/Pal.html");
    EXPECT_EQ(1, countOf(page, QString(R"(<img src = "files/%1" width = "110"></p>)").arg(fileId).toUtf8()));
    EXPECT_EQ("picture in a subdirectory", readFile(exportDir() + "/files/" + fileId));
    EXPECT_EQ(1, countOf(page, R"(<audio src="#"id="audio4"></audio>)"));
    EXPECT_EQ(1, countOf(page, R"(<img src="images/videob.png"><span class="media-missing">视频文件不在备份中</span>)"));
    EXPECT_EQ(0, countOf(page, "LINKED"));
    EXPECT_EQ(QStringList{fileId}, QDir(exportDir() + "/files").entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System));
}

TEST_F(ChatExporterTest, ExportWritesEveryMessageOfLongConversations) {
    const int64_t chatty = addContact("chatty", "Chatty", 2100);
    ErrorInfo error;
    data.loadFriends(store.db(), &error);
    ChatExporter exporter(store.db(), data, context);
    exporter.setPacing(0, 0);
    ASSERT_TRUE(exporter.prepareExportDirectory(chosen.path(), work.path()));
    exporter.exportConversations({{ExportItem::Kind::Contact, static_cast<int32_t>(chatty)}}, nullptr);
    // Split into pages of 1000 (ConversationPagingTest): every message is on one of them.
    int shown = 0;
    for (const char* page : {"/Chatty_pages/0001.html", "/Chatty_pages/0002.html", "/Chatty_pages/0003.html"}) {
        shown += countOf(readFile(exportDir() + page), R"(<div class="chat leftside">)");
    }
    EXPECT_EQ(2100, shown);
    EXPECT_EQ(1, countOf(readFile(exportDir() + "/Chatty.html"), "共 2100 条消息"));
}

TEST_F(ChatExporterTest, FailuresAreReportedAndTheExportGoesOn) {
    ChatExporter exporter(store.db(), data, context);
    exporter.setPacing(0, 0);
    // Without the page assets nothing can be prepared.
    QTemporaryDir empty;
    EXPECT_FALSE(exporter.prepareExportDirectory(chosen.path(), empty.path()));

    ASSERT_TRUE(exporter.prepareExportDirectory(chosen.path(), work.path()));
    ASSERT_TRUE(QDir().mkpath(exportDir() + "/Pal.html"));  // the page file cannot be opened
    std::vector<ExportItem> items;
    for (const auto& entry : data.displayList()) {
        if (entry.nickName == "Pal" || entry.nickName == "Twin") {
            items.push_back({ExportItem::Kind::Contact, entry.rcFriendId});
        }
    }
    const auto pages = exporter.exportConversations(items, nullptr);
    ASSERT_EQ(2u, pages.size());
    const PageFile& failed = pages[0].path.endsWith("Pal.html") ? pages[0] : pages[1];
    const PageFile& fine = pages[0].path.endsWith("Pal.html") ? pages[1] : pages[0];
    EXPECT_FALSE(failed.written);
    EXPECT_EQ("提示", failed.errorTitle.toStdString());
    EXPECT_EQ("无法创建文件", failed.errorText.toStdString());
    EXPECT_TRUE(fine.written);

    EXPECT_TRUE(exporter.exportConversations({}, [](const ExportProgress&) { FAIL(); }).empty());
}

TEST(ExportFileNamesTest, SafeNamesStayInsideAndClashesGetSuffixes) {
    struct Case {
        const char* name;
        const char* file;
    } cases[] = {
        {"Pal", "Pal.html"},         {"../x", "_.._x.html"},    {"..\\..\\y", "_.._.._y.html"},
        {"a:b|c", "a_b_c.html"},     {"nul", "_nul.html"},      {"COM1.txt", "_COM1.txt.html"},
        {"tab\there", "tab_here.html"}, {"", "_.html"},         {"昵称", "昵称.html"},
        // Hidden names and direction overrides that disguise the extension.
        {".profile", "_.profile.html"},
        {"photo\u202Egpj.exe", "photo_gpj.exe.html"},
        {"\u2067a\u2069\u200Fb\u061C", "_a__b_.html"},
    };
    for (const auto& c : cases) {
        ExportFileNames names;
        EXPECT_EQ(c.file, names.claim(QString::fromUtf8(c.name)).toStdString()) << c.name;
    }
    ExportFileNames names;
    EXPECT_EQ("Same.html", names.claim("Same").toStdString());
    EXPECT_EQ("same_2.html", names.claim("same").toStdString());
    EXPECT_EQ("Same_3.html", names.claim("Same").toStdString());
    EXPECT_EQ("Same_2_2.html", names.claim("Same_2").toStdString());

    const QString longName(300, QChar(0x4E2D));  // 900 UTF-8 bytes
    EXPECT_LE(ExportFileNames::safeBaseName(longName).toUtf8().size(), 200);
    EXPECT_EQ("00:00:02", ChatExporter::remainingTimeText(11, 1).right(8).toStdString());
}

TEST_F(ChatExporterTest, ViewerWritesIndexPageBesideTheAssets) {
    ErrorInfo error;
    const int32_t pal = data.displayList().front().rcFriendId;
    data.loadConversation(store.db(), pal, &error);
    const ConversationViewer viewer(work.path());
    const PageFile page = viewer.showConversation(data, context, pal);
    ASSERT_TRUE(page.written);
    EXPECT_EQ((work.path() + "/temp/index.html").toStdString(), page.path.toStdString());
    const QByteArray html = readFile(page.path);
    // The viewer links media into the backup instead of copying them.
    EXPECT_EQ(1, countOf(html, QString(R"(<img src = "%1" width = "110">)")
                                   .arg(QUrl::fromLocalFile(backup.path() + "/PICFILE").toString())
                                   .toUtf8()));
    EXPECT_FALSE(QDir(work.path() + "/files").exists());

    const PageFile lost = viewer.showLostConversation(data, context, 7);
    EXPECT_TRUE(lost.written);
    EXPECT_EQ(1, countOf(readFile(lost.path), "lost &lt;b&gt;"));

    // A working directory that is a file: no page and nothing to tell.
    QTemporaryDir other;
    writeFile(other.path() + "/plain", "x");
    const PageFile none = ConversationViewer(other.path() + "/plain").showConversation(data, context, pal);
    EXPECT_FALSE(none.written);
    EXPECT_TRUE(none.errorText.isEmpty());
}

TEST(PageAssetsTest, InstallsEveryPictureStyleAndScriptThePagesUse) {
    QTemporaryDir work;
    ASSERT_TRUE(PageAssets::install(work.path()));
    const char* needed[] = {"css/page-base.css",   "css/page.css",     "js/page.js",
                            "images/faces05.png",  "images/icon-tri1.png", "images/icon-tri3.png",
                            "images/icon-tri4.png", "images/icon-tri5.png", "images/icon-tri6.png",
                            "images/icon-voice.png", "images/icon-voice_0.png", "images/video.png",
                            "images/videob.png",   "images/hb01.png",   "images/hb02.png",
                            "images/icon-00.png",  "images/icon-video.png"};
    for (const char* name : needed) {
        const QByteArray content = readFile(work.path() + "/temp/" + name);
        EXPECT_FALSE(content.isEmpty()) << name;
        if (QString(name).endsWith(".png")) {
            EXPECT_TRUE(content.startsWith("\x89PNG\r\n\x1a\n")) << name;
        }
    }
    // The style sheet gives recovered messages a visible mark.
    const QByteArray style = readFile(work.path() + "/temp/css/page.css");
    EXPECT_NE(-1, style.indexOf(".delete-left"));
    EXPECT_NE(-1, style.indexOf(".delete "));
    // Installing again replaces the copies.
    writeFile(work.path() + "/temp/css/page.css", "stale");
    ASSERT_TRUE(PageAssets::install(work.path()));
    EXPECT_EQ(style, readFile(work.path() + "/temp/css/page.css"));
}
