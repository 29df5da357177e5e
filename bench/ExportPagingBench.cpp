// Export of a conversation of 100,000 messages, split into pages of 1000 against
// the whole conversation as one page, and the time Chromium (QtWebEngine) needs to
// open what a reader opens first: the table of pages, the newest page, and for
// comparison the one page. The opening needs a display: run under xvfb-run with
// QTWEBENGINE_DISABLE_SANDBOX=1 QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu; without
// one (QT_QPA_PLATFORM=offscreen) only the exports are timed.
//
// Prints one line per measurement: what, milliseconds (best of the runs) and sizes.
// Usage: export_paging_bench [DIR] (DIR keeps the exports)
//        export_paging_bench --open PAGE... (times the opening of given pages only)

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineView>

#include "app/export/ChatExporter.h"
#include "app/export/ConversationPaging.h"
#include "app/pages/PageAssets.h"
#include "app/store/RecoveredData.h"
#include "common/ErrorInfo.h"
#include "wchat/RecoveryStore.h"

using namespace talwen::app;
using talwen::common::ErrorInfo;

namespace {

constexpr int kMessages = 100000;
constexpr int kRuns = 3;
constexpr int64_t k2015 = 1420070400;

void exec(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
}

// One contact with kMessages messages: texts of 10 to 120 characters, every 7th
// recovered from freed space, a picture or a voice note now and then.
std::unique_ptr<talwen::wchat::RecoveryStore> makeStore(int32_t* contact) {
    ErrorInfo error;
    auto store = talwen::wchat::RecoveryStore::create("", &error);
    if (!store) std::abort();
    sqlite3* db = store->connection();
    exec(db, "BEGIN");
    exec(db, "INSERT INTO WC_Friend (validFlag, obtainWay, usrName, nickName, fullPY, headImgUrl) "
             "VALUES (0, 1, 'wxid_long', '长对话', 'changduihua', '')");
    *contact = static_cast<int32_t>(sqlite3_last_insert_rowid(db));
    sqlite3_stmt* chat = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO WC_Chat (validFlag, obtainWay, createTime, message, type, des, mesLocalId) "
                       "VALUES (0, ?4, ?1, ?2, ?5, ?3, ?6)",
                       -1, &chat, nullptr);
    const std::string words = "今天我们去哪里吃饭 the quick brown fox jumps over the lazy dog 明天见 ";
    for (int i = 0; i < kMessages; ++i) {
        const int type = i % 97 == 0 ? 34 : i % 89 == 0 ? 3 : 1;
        const std::string text = type == 34   ? R"(<msg><voicemsg voicelength="4000"/></msg>)"
                                 : type == 3 ? "<msg><img length=\"1\"/></msg>"
                                             : "第" + std::to_string(i) + "条 " + words.substr(0, 10 + i % 110);
        sqlite3_reset(chat);
        sqlite3_bind_int64(chat, 1, k2015 + static_cast<int64_t>(i) * 300);
        sqlite3_bind_text(chat, 2, text.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(chat, 3, i % 2);
        sqlite3_bind_int(chat, 4, i % 7 == 0 ? 2 : 1);
        sqlite3_bind_int(chat, 5, type);
        sqlite3_bind_int(chat, 6, i + 1);
        if (sqlite3_step(chat) != SQLITE_DONE) std::abort();
        const std::string tie = "INSERT INTO WC_Chatroom (rcFriendId, rcChatId, deduceType, ratio) VALUES (" +
                                std::to_string(*contact) + ", " + std::to_string(sqlite3_last_insert_rowid(db)) +
                                ", 1, 1.0)";
        exec(db, tie.c_str());
    }
    sqlite3_finalize(chat);
    exec(db, "INSERT INTO WC_ChatFriend SELECT * FROM WC_Chatroom");
    exec(db, "COMMIT");
    store->finishTargetDb(&error);
    if (!error.isSuccess()) std::abort();
    return store;
}

qint64 bytesBelow(const QString& path) {
    QFileInfo info(path);
    if (info.isFile()) return info.size();
    qint64 total = 0;
    QDirIterator it(path, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) total += QFileInfo(it.next()).size();
    return total;
}

// Best of kRuns exports of the conversation with pages of `perPage` messages.
double timeExport(sqlite3* db, const RecoveredData& data, int32_t contact, const QString& workDir,
                  const QString& chosenDir, int perPage) {
    double best = 1e18;
    for (int run = 0; run < kRuns; ++run) {
        QDir(chosenDir).removeRecursively();
        QDir().mkpath(chosenDir);
        RenderContext context;
        context.friendMap = &data.friendMap();
        ChatExporter exporter(db, data, context);
        exporter.setPacing(0, 0);
        exporter.setMessagesPerPage(perPage);
        if (!exporter.prepareExportDirectory(chosenDir, workDir)) std::abort();
        QElapsedTimer timer;
        timer.start();
        const auto pages = exporter.exportConversations({{ExportItem::Kind::Contact, contact}}, nullptr);
        best = std::min(best, timer.nsecsElapsed() / 1e6);
        if (pages.size() != 1 || !pages[0].written) std::abort();
    }
    return best;
}

bool waitUntil(const std::function<bool()>& ready, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!ready()) {
        if (timer.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Milliseconds from the load request until the page has loaded and its layout
// is done (the page's height read back by a script); -1 past the time limit. The
// view and its renderer process are started before, on an empty page.
double timeOpen(const QString& file, int timeoutMs) {
    QWebEngineView view;
    view.resize(1000, 800);
    view.show();
    bool loaded = false;
    QObject::connect(&view, &QWebEngineView::loadFinished, [&](bool) { loaded = true; });
    view.setHtml(QStringLiteral("<html><body></body></html>"));
    if (!waitUntil([&] { return loaded; }, timeoutMs)) return -1;
    double best = -1;
    for (int run = 0; run < kRuns; ++run) {
        loaded = false;
        QElapsedTimer timer;
        timer.start();
        view.load(QUrl::fromLocalFile(file));
        if (!waitUntil([&] { return loaded; }, timeoutMs)) return -1;
        bool laidOut = false;
        view.page()->runJavaScript("document.documentElement.scrollHeight", [&](const QVariant&) { laidOut = true; });
        if (!waitUntil([&] { return laidOut; }, timeoutMs)) return -1;
        const double ms = timer.nsecsElapsed() / 1e6;
        best = best < 0 ? ms : std::min(best, ms);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    if (argc > 2 && QByteArray(argv[1]) == "--open") {
        for (int i = 2; i < argc; ++i) {
            std::printf("open %s: %.0f ms\n", argv[i], timeOpen(QString::fromLocal8Bit(argv[i]), 120000));
        }
        return 0;
    }
    int32_t contact = 0;
    const auto store = makeStore(&contact);
    sqlite3* db = store->connection();
    RecoveredData data;
    ErrorInfo error;
    data.loadFriends(db, &error, 0);

    // An optional directory keeps the exports for a look.
    QTemporaryDir temporary;
    QTemporaryDir work(argc > 1 ? QString::fromLocal8Bit(argv[1]) + "/bench-XXXXXX" : temporary.path() + "/w-XXXXXX");
    work.setAutoRemove(argc < 2);
    if (!work.isValid() || !PageAssets::install(work.path())) return 1;
    std::printf("exports in %s\n", qPrintable(work.path()));
    const QString paged = work.path() + "/paged";
    const QString single = work.path() + "/single";
    const QString root = QStringLiteral("/微信聊天记录恢复/");

    const double pagedMs = timeExport(db, data, contact, work.path(), paged, ConversationPaging::kMessagesPerPage);
    const double singleMs = timeExport(db, data, contact, work.path(), single, kMessages + 1);
    const QString pagesDir = paged + root + "长对话_pages";
    qint64 largest = 0;
    for (const QFileInfo& page : QDir(pagesDir).entryInfoList({"*.html"}, QDir::Files)) {
        largest = std::max(largest, page.size());
    }
    std::printf("export %d messages in pages of %d: %.0f ms, %d pages, largest page %.2f MB, search data %.2f MB, "
                "all %.1f MB\n",
                kMessages, ConversationPaging::kMessagesPerPage, pagedMs,
                static_cast<int>(QDir(pagesDir).entryList({"*.html"}, QDir::Files).size()), largest / 1e6,
                bytesBelow(pagesDir + "/search.js") / 1e6, bytesBelow(paged + root) / 1e6);
    std::printf("export %d messages as one page: %.0f ms, page %.1f MB\n", kMessages, singleMs,
                bytesBelow(single + root + "长对话.html") / 1e6);

    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        std::printf("opening in Chromium skipped: no display\n");
        return 0;
    }
    const struct {
        const char* what;
        QString file;
    } pages[] = {{"table of pages", paged + root + "长对话.html"},
                 {"newest page", pagesDir + "/" + ConversationPaging::pageFileName((kMessages - 1) / ConversationPaging::kMessagesPerPage)},
                 {"one page of everything", single + root + "长对话.html"}};
    for (const auto& page : pages) {
        const double ms = timeOpen(page.file, 120000);
        if (ms < 0) {
            std::printf("open %s: not within 120 s\n", page.what);
        } else {
            std::printf("open %s: %.0f ms\n", page.what, ms);
        }
    }
    return 0;
}
