// Voice notes in pages: SILK files read defensively, written beside the page as
// scripts the page can load from file://, and a player or a readable reason.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include "app/pages/ConversationViewer.h"
#include "app/pages/MessageRenderer.h"
#include "app/pages/VoiceNote.h"
#include "app/store/RecoveredData.h"
#include "app/support/TestFiles.h"
#include "wchat/Md5.h"

using namespace talwen::app;

using talwen::app::test::readFile;
using talwen::app::test::writeFile;

namespace {

const char* const kAccount = "0123456789abcdef0123456789abcdef";

// A one-second tone encoded by silk-wasm (tools/gen_silk_tone.js): 50 frames.
QByteArray tone() { return readFile(QStringLiteral(WCR_SOURCE_DIR "/tests/app/pages/data/tone-1000ms.aud")); }

QByteArray frame(int size) {
    QByteArray bytes;
    bytes.append(static_cast<char>(size & 0xFF)).append(static_cast<char>(size >> 8));
    return bytes + QByteArray(size, 'x');
}

}  // namespace

TEST(VoiceNote, SilkFramesAreCountedWithinTheFile) {
    const QByteArray header = QByteArray("\x02#!SILK_V3", 10);
    struct Case {
        const char* name;
        QByteArray bytes;
        bool silk;
        int frames;
    };
    const std::vector<Case> cases = {
        {"the phone's file", header + frame(3) + frame(0) + frame(40), true, 3},
        {"without the 0x02 byte", QByteArray("#!SILK_V3") + frame(5), true, 1},
        {"header only", header, true, 0},
        {"a cut last frame is not counted", header + frame(4) + frame(9).left(6), true, 1},
        {"a length byte alone", header + frame(4) + QByteArray(1, '\x07'), true, 1},
        {"the end marker ends the count", header + frame(2) + QByteArray("\xff\xff", 2) + frame(2), true, 1},
        {"a length past the end", header + QByteArray("\x00\x80", 2) + QByteArray(10, 'y'), true, 0},
        {"empty", QByteArray(), false, 0},
        {"the 0x02 byte alone", QByteArray(1, '\x02'), false, 0},
        {"a cut header", header.left(7), false, 0},
        {"another format", QByteArray("RIFF....WAVEfmt "), false, 0},
        {"the silk-wasm tone", tone(), true, 50},
    };
    for (const Case& c : cases) {
        const SilkVoiceInfo info = inspectSilkVoice(c.bytes);
        EXPECT_EQ(c.silk, info.silk) << c.name;
        EXPECT_EQ(c.frames, info.frames) << c.name;
    }
    EXPECT_EQ(1000, inspectSilkVoice(tone()).milliseconds());
    EXPECT_EQ(QString::fromUtf8("1.0″"), voiceDurationText(1000));
    EXPECT_EQ(QString::fromUtf8("62.5″"), voiceDurationText(62480));
}

TEST(VoiceNote, ScriptsHoldTheExactBytesAndOnlySafeNames) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString source = dir.path() + "/source.aud";
    writeFile(source, tone());
    const QString page = dir.path() + "/page";

    const VoiceScript voice = writeVoiceScript(source, "0a1b-C_2", page);
    EXPECT_EQ("0a1b-C_2", voice.name.toStdString());
    EXPECT_EQ(50, voice.info.frames);
    const QByteArray script = readFile(page + "/voice/0a1b-C_2.js");
    const QByteArray prefix = "wcrVoiceData(\"0a1b-C_2\",\"";
    const QByteArray suffix = "\");\n";
    ASSERT_TRUE(script.startsWith(prefix) && script.endsWith(suffix));
    EXPECT_EQ(tone(), QByteArray::fromBase64(script.mid(prefix.size(), script.size() - prefix.size() - suffix.size())));

    // A name that could leave "voice/" or end the script's string is refused.
    for (const char* name : {"", "../x", "a/b", "a\"b", "a.b", "名字"}) {
        EXPECT_TRUE(writeVoiceScript(source, QString::fromUtf8(name), page).name.isEmpty()) << name;
    }
    // Nothing to play: no file, a link, no SILK, no whole frame, no page directory.
    writeFile(dir.path() + "/text.aud", "voice bytes");
    writeFile(dir.path() + "/empty.aud", QByteArray("\x02#!SILK_V3", 10));
    ASSERT_TRUE(QFile::link(source, dir.path() + "/link.aud"));
    for (const char* file : {"missing.aud", "link.aud", "text.aud", "empty.aud"}) {
        EXPECT_TRUE(writeVoiceScript(dir.path() + "/" + file, "n", page).name.isEmpty()) << file;
    }
    EXPECT_TRUE(writeVoiceScript(source, "n", QString()).name.isEmpty());
    EXPECT_EQ(QStringList{"0a1b-C_2.js"}, QDir(page + "/voice").entryList(QDir::Files));
}

// The contact page: a note the backup holds plays, one it does not hold or that is
// no SILK says so; an export keeps the original file for examiners.
TEST(VoiceNote, PagesShowAPlayerOrTheReason) {
    QTemporaryDir backup;
    QTemporaryDir exportDir;
    ASSERT_TRUE(backup.isValid() && exportDir.isValid());
    writeFile(backup.path() + "/TONE", tone());
    writeFile(backup.path() + "/NOISE", "not silk");
    ASSERT_TRUE(QDir().mkpath(exportDir.path() + "/files"));  // as the exporter makes it
    const QString digest = QString::fromStdString(talwen::wchat::Md5::hexDigest("pal"));
    const QString base = QString("Documents/%1/Audio/%2/").arg(kAccount, digest);
    const MediaFileMap media = {{base + "5.aud", "TONE"}, {base + "6.aud", "NOISE"}};
    const std::map<int32_t, FriendEntry> friends;
    RenderContext context;
    context.friendMap = &friends;
    context.accountDir = kAccount;
    context.backupDir = backup.path();
    context.mediaFiles = &media;
    context.exportDir = exportDir.path();
    FriendEntry pal;
    pal.rcFriendId = 1;
    pal.usrName = "pal";

    auto voice = [](int32_t localId, int obtainWay, int des) {
        ChatEntry entry;
        entry.type = 34;
        entry.message = R"(<msg><voicemsg voicelength="1000"/></msg>)";
        entry.mesLocalId = localId;
        entry.obtainWay = static_cast<int8_t>(obtainWay);
        entry.des = des;
        entry.createTime = 1420070400;
        return entry;
    };
    QString html;
    QTextStream out(&html);
    MessageRenderer(context).writeContactPage(out, pal,
                                              {voice(5, 1, 1), voice(6, 1, 0), voice(7, 1, 1), voice(5, 2, 1)});
    out.flush();
    const std::string page = html.toStdString();

    EXPECT_NE(std::string::npos,
              page.find(R"(<p class="chat-voice"><img  class="voice-play" onclick="wcrPlayVoice('audio0',this);" )"
                        R"(src="images/icon-voice_0.png"><audio preload="none" id="audio0" data-voice="TONE"></audio>)"
                        R"(<span class="voice-duration">1.0″</span><span class="voice-status"></span></p>)"));
    EXPECT_EQ(tone(), readFile(exportDir.path() + "/files/TONE"));
    EXPECT_TRUE(QFile::exists(exportDir.path() + "/voice/TONE.js"));
    // Sent, but no SILK: the icon and the reason.
    EXPECT_NE(std::string::npos, page.find(R"(<p class="chat-voice"><img  src="images/icon-voice.png">)"
                                           R"(<span class="voice-status voice-failed">语音文件无法解码</span></p>)"));
    EXPECT_FALSE(QFile::exists(exportDir.path() + "/voice/NOISE.js"));
    // Not in the backup, and a recovered note (no local id, so no media).
    EXPECT_NE(std::string::npos,
              page.find(R"(id="audio2"></audio><span class="voice-status voice-failed">语音文件不在备份中)"));
    EXPECT_NE(std::string::npos,
              page.find(R"(id="audio3"></audio><span class="voice-status voice-failed">语音文件不在备份中)"));
    EXPECT_EQ(1u, QDir(exportDir.path() + "/voice").entryList(QDir::Files).size());
}

// The window's view writes its notes beside its page, "<working dir>/temp/voice",
// also for the earlier messages it puts above.
TEST(VoiceNote, TheViewerWritesNotesBesideItsPage) {
    QTemporaryDir work;
    QTemporaryDir backup;
    ASSERT_TRUE(work.isValid() && backup.isValid());
    writeFile(backup.path() + "/TONE", tone());
    writeFile(backup.path() + "/EARLIER", tone());
    const RecoveredData data;  // an unknown contact: user name ""
    const QString base = QString("Documents/%1/Audio/%2/")
                             .arg(kAccount, QString::fromStdString(talwen::wchat::Md5::hexDigest("")));
    const MediaFileMap media = {{base + "5.aud", "TONE"}, {base + "6.aud", "EARLIER"}};
    RenderContext context;
    context.friendMap = &data.friendMap();
    context.accountDir = kAccount;
    context.backupDir = backup.path();
    context.mediaFiles = &media;
    auto slice = [](int32_t localId) {
        ChatEntry note;
        note.type = 34;
        note.mesLocalId = localId;
        note.rcChatId = localId;
        note.obtainWay = 1;
        note.des = 1;
        note.createTime = 1420070400;
        ConversationSlice s;
        s.messages = {note};
        return s;
    };
    const PageFile page = ConversationViewer(work.path()).showConversationSlice(data, context, 1, slice(5));
    ASSERT_TRUE(page.written);
    EXPECT_EQ(work.path() + "/temp", ConversationViewer::viewerPageDir(work.path()));
    EXPECT_TRUE(readFile(page.path).contains(R"(data-voice="TONE")"));
    EXPECT_TRUE(QFile::exists(work.path() + "/temp/voice/TONE.js"));
    context.pageDir = ConversationViewer::viewerPageDir(work.path());
    EXPECT_TRUE(ConversationViewer::earlierMessagesScript(data, context, 1, slice(6)).contains(R"(data-voice=\"EARLIER\")"));
    EXPECT_TRUE(QFile::exists(work.path() + "/temp/voice/EARLIER.js"));
}
