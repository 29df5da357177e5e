// How long the result browser takes to list a large recovery: 10,000 contacts
// (friends, groups, official accounts, half of them with messages) read from a
// recovery store and put into the window's tables, offscreen.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QByteArray>

#include <sqlite3.h>

#include <memory>
#include <string>

#include "app/gui/PageView.h"
#include "app/gui/TcmsgWidget.h"
#include "app/store/RecoveredData.h"
#include "wchat/RecoveryStore.h"

namespace {

using talwen::app::RecoveredData;
using namespace talwen::app::gui;

QApplication& application() {
    static int argc = 1;
    static char name[] = "result_list_bench";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// A store with `count` contacts whose last chat is in 2020.
std::unique_ptr<talwen::wchat::RecoveryStore> storeWithContacts(int count) {
    talwen::common::ErrorInfo error;
    auto store = talwen::wchat::RecoveryStore::create("", &error);
    sqlite3* db = store->connection();
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (int i = 0; i < count; ++i) {
        const char* kind = i % 10 == 0 ? "@chatroom" : i % 10 == 1 ? "gh_" : "";
        const std::string sql =
            "INSERT INTO WC_Friend (validFlag, obtainWay, usrName, nickName, fullPY, lastChatTime, chatNum, "
            "rcChatNum, headImgUrl) VALUES (0, 1, 'user" + std::to_string(i) + kind + "', '联系人" +
            std::to_string(i) + "', 'lianxiren" + std::to_string(i) + "', " + std::to_string(1590000000 + i) +
            ", " + std::to_string(i % 2 == 0 ? i % 97 + 1 : 0) + ", 0, 'http://127.0.0.1/" + std::to_string(i) + "')";
        sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    return store;
}

void BM_ListTenThousandContacts(benchmark::State& state) {
    application();
    const auto store = storeWithContacts(static_cast<int>(state.range(0)));
    RecoveredData data;
    talwen::common::ErrorInfo error;
    data.loadFriends(store->connection(), &error, 0);
    TcmsgWidget browser(new PlainPageView(), QString(), nullptr);
    browser.resize(900, 468);
    browser.show();
    for (auto _ : state) {
        browser.fill(&data);
        QCoreApplication::processEvents();  // the table lays out and paints its first rows
    }
    state.counters["rows"] = static_cast<double>(data.displayList().size());
}
BENCHMARK(BM_ListTenThousandContacts)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
