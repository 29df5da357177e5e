// Voice notes play in the window's view (Chromium, under Xvfb): the page loads a
// note's script and the SILK decoder from file:// on the first click, decodes the
// note to PCM of its length and plays it as WAV; a note it cannot decode says so.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>
#include <QWebEnginePage>
#include <QWebEngineView>

#include "app/gui/GuiTestSupport.h"
#include "app/gui/PageView.h"
#include "app/pages/MessageRenderer.h"
#include "app/pages/PageAssets.h"
#include "app/pages/PageFile.h"
#include "wchat/Md5.h"

using namespace talwen::app;

namespace {

const char* const kAccount = "0123456789abcdef0123456789abcdef";

QVariant evaluate(QWebEnginePage* page, const QString& script) {
    QVariant result;
    bool done = false;
    page->runJavaScript(script, [&](const QVariant& value) {
        result = value;
        done = true;
    });
    EXPECT_TRUE(guitest::waitUntil([&] { return done; }, 30000)) << script.toStdString();
    return result;
}

QByteArray fixture(const char* name) {
    QFile file(QStringLiteral(WCR_SOURCE_DIR "/tests/app/pages/data/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

TEST(VoicePlayback, NotesDecodeToPcmOfTheirLengthInTheView) {
    guitest::startApplication("gui_web_tests");
    QTemporaryDir work;
    QTemporaryDir backup;
    ASSERT_TRUE(work.isValid() && backup.isValid());
    ASSERT_TRUE(PageAssets::install(work.path()));
    const QByteArray oneSecond = fixture("tone-1000ms.aud");
    const QByteArray longer = fixture("tone-2500ms.aud");
    ASSERT_FALSE(oneSecond.isEmpty() || longer.isEmpty());
    const std::map<QString, QByteArray> files = {
        {"TONE1", oneSecond}, {"TONE2", longer}, {"PLAIN", oneSecond.mid(1)}, {"GONE", oneSecond}};
    for (const auto& file : files) {
        QFile out(backup.path() + "/" + file.first);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(file.second);
    }
    const QString base = QString("Documents/%1/Audio/%2/")
                             .arg(kAccount, QString::fromStdString(talwen::wchat::Md5::hexDigest("pal")));
    const MediaFileMap media = {
        {base + "1.aud", "TONE1"}, {base + "2.aud", "TONE2"}, {base + "3.aud", "PLAIN"}, {base + "4.aud", "GONE"}};
    const std::map<int32_t, FriendEntry> friends;
    RenderContext context;
    context.friendMap = &friends;
    context.accountDir = kAccount;
    context.backupDir = backup.path();
    context.mediaFiles = &media;
    context.pageDir = work.path() + "/temp";
    FriendEntry pal;
    pal.rcFriendId = 1;
    pal.usrName = "pal";
    pal.nickName = "Pal";
    std::vector<ChatEntry> conversation;
    for (int32_t localId = 1; localId <= 5; ++localId) {
        ChatEntry note;
        note.type = 34;
        note.message = R"(<msg><voicemsg voicelength="1000"/></msg>)";
        note.mesLocalId = localId;  // 5 is not in the backup
        note.obtainWay = 1;
        note.des = localId % 2;
        note.createTime = 1420070400 + localId * 60;
        conversation.push_back(note);
    }
    const PageFile page = writePageFile(work.path() + "/temp/index.html", [&](QTextStream& out) {
        MessageRenderer(context).writeContactPage(out, pal, conversation);
    });
    ASSERT_TRUE(page.written);
    // A note whose script went missing (a copied export without "voice/").
    ASSERT_TRUE(QFile::remove(work.path() + "/temp/voice/GONE.js"));

    gui::WebPageView view;
    view.resize(700, 700);
    view.show();
    bool shown = false;
    QObject::connect(&view, &gui::WebPageView::pageShown, [&](bool) { shown = true; });
    view.showPage(page.path);
    ASSERT_TRUE(guitest::waitUntil([&] { return shown; }, 30000));
    QWebEnginePage* web = view.view()->page();
    // Nothing is decoded before a click: the decoder is not even loaded.
    EXPECT_EQ(QString("undefined"), evaluate(web, "typeof wcrSilk").toString());

    struct Case {
        const char* audio;
        const char* state;
        int pcmBytes;  // 16-bit samples at 24 kHz
        const char* shown;
    };
    for (const Case& c : {Case{"audio0", "ready", 48000, "1.0″"}, Case{"audio1", "ready", 120000, "2.5″"},
                          Case{"audio2", "ready", 48000, "1.0″"}, Case{"audio3", "failed", 0, "1.0″"}}) {
        const QString audio = QString("document.getElementById('%1')").arg(c.audio);
        evaluate(web, QString("wcrPlayVoice('%1', null); true").arg(c.audio));
        ASSERT_TRUE(guitest::waitUntil(
            [&] {
                const QString state = evaluate(web, audio + ".getAttribute('data-state')").toString();
                return state == "ready" || state == "failed";
            },
            30000))
            << c.audio;
        EXPECT_EQ(QString(c.state), evaluate(web, audio + ".getAttribute('data-state')").toString()) << c.audio;
        EXPECT_EQ(c.pcmBytes, evaluate(web, audio + ".getAttribute('data-pcm-bytes') | 0").toInt()) << c.audio;
        EXPECT_EQ(QString::fromUtf8(c.shown),
                  evaluate(web, audio + ".parentNode.querySelector('.voice-duration').textContent").toString());
        const QString status = evaluate(web, audio + ".parentNode.querySelector('.voice-status').textContent").toString();
        EXPECT_EQ(QString::fromUtf8(c.pcmBytes > 0 ? "" : "语音无法解码"), status) << c.audio;
    }
    // The decoded WAV is what the audio element plays: its length is the note's.
    ASSERT_TRUE(guitest::waitUntil(
        [&] { return evaluate(web, "document.getElementById('audio1').readyState").toInt() >= 1; }, 30000));
    EXPECT_NEAR(2.5, evaluate(web, "document.getElementById('audio1').duration").toDouble(), 0.01);
    EXPECT_EQ(QString::fromUtf8("语音文件不在备份中"),
              evaluate(web, "document.querySelectorAll('.voice-status')[4].textContent").toString());

    // WCR_SCREENSHOT_DIR=docs/screenshots keeps a picture of the page for the README.
    const QString screenshots = qEnvironmentVariable("WCR_SCREENSHOT_DIR");
    if (!screenshots.isEmpty()) {
        evaluate(web, "window.scrollTo(0, 0); true");
        guitest::waitUntil([] { return false; }, 500);
        view.grab().save(screenshots + "/voice-notes.png");
    }
}
