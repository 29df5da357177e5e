// A backup whose messenger database is in WAL mode, in both manifest layouts: the
// log and its index are copied with the database, the messages only the log holds
// are stored live and the rows deleted while only in the log are carved from its
// frames; the backup is left as it was.

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "app/session/RecoverySession.h"
#include "backup/BackupTestSupport.h"

using talwen::app::RecoverySession;
using talwen::common::Status;
namespace bt = talwen::backup::test;

namespace {

// createTime, message (Qt reads JSON numbers as doubles: a 64-bit server id would not compare)
using Key = std::tuple<qint64, std::string>;

std::multimap<Key, std::pair<int, qint64>> storedMessages(sqlite3* db) {
    std::multimap<Key, std::pair<int, qint64>> stored;
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db,
                                            "SELECT ifnull(createTime, -1), ifnull(message, ''), obtainWay, "
                                            "ifnull(walFrame, -1) FROM WC_Chat",
                                            -1, &stmt, nullptr));
    while (stmt != nullptr && sqlite3_step(stmt) == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
        stored.insert({{sqlite3_column_int64(stmt, 0), text ? text : ""},
                       {sqlite3_column_int(stmt, 2), sqlite3_column_int64(stmt, 3)}});
    }
    sqlite3_finalize(stmt);
    return stored;
}

}  // namespace

TEST(WalBackup, MessagesOfTheLogAreReadAndCarvedInBothLayouts) {
    for (const char* layout : {"mbdb", "db"}) {
        SCOPED_TRACE(layout);
        QTemporaryDir root;
        ASSERT_TRUE(root.isValid());
        const QString backupDir = root.path() + "/backup";
        bt::generateBackup(backupDir, {"--layout", layout, "--accounts", "1", "--profile", "small", "--seed", "5",
                                       "--wal", "--truth-dir", root.path() + "/truth"});
        const bt::DirectorySnapshot before = bt::snapshot(backupDir);

        RecoverySession session;
        ASSERT_TRUE(session.openBackup(backupDir.toStdString()).isOk());
        ASSERT_TRUE(session.chooseAccount("").isOk());
        const QString work = root.path() + "/work";
        ASSERT_TRUE(session.setWorkDirectory(work.toStdString()).isOk());
        ASSERT_TRUE(session.copySource().isOk());
        EXPECT_GT(QFileInfo(work + "/MM.sqlite-wal").size(), 0) << "the log is copied beside the database";
        EXPECT_TRUE(QFileInfo::exists(work + "/MM.sqlite-shm"));
        const Status recovered = session.recover(2);
        ASSERT_TRUE(recovered.isOk()) << recovered.message();

        QFile truthFile(root.path() + "/truth/" + QString::fromStdString(session.accountDirectory()) + ".truth.json");
        ASSERT_TRUE(truthFile.open(QIODevice::ReadOnly));
        const QJsonArray messages = QJsonDocument::fromJson(truthFile.readAll()).object()["messages"].toArray();
        const auto stored = storedMessages(session.storeConnection());
        int live = 0, deleted = 0, carved = 0;
        for (const QJsonValue& value : messages) {
            const QJsonObject m = value.toObject();
            if (!m["wal"].toBool()) continue;
            const Key key{static_cast<qint64>(m["createTime"].toDouble()), m["message"].toString().toStdString()};
            const auto range = stored.equal_range(key);
            std::vector<std::pair<int, qint64>> rows;
            for (auto it = range.first; it != range.second; ++it) rows.push_back(it->second);
            if (!m["deleted"].toBool()) {
                ++live;
                ASSERT_EQ(1u, rows.size()) << std::get<1>(key);
                EXPECT_EQ(1, rows[0].first) << "stored as live";
            } else {
                ++deleted;
                EXPECT_GE(1u, rows.size());
                for (const auto& row : rows) {
                    EXPECT_EQ(2, row.first);
                    EXPECT_GT(row.second, 0) << "carved from a frame of the log";
                    ++carved;
                }
            }
        }
        EXPECT_GT(live, 20);
        EXPECT_GT(deleted, 10);
        EXPECT_GE(carved * 10, deleted * 8) << carved << " of " << deleted;
        EXPECT_TRUE(before == bt::snapshot(backupDir)) << "the backup is only read";
    }
}
