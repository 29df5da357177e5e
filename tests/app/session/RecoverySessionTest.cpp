// The recovery session over a generated backup: the steps every front end takes,
// what the observer is told, and the steps taken out of order.

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFileInfo>
#include <QTemporaryDir>

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "app/session/RecoverySession.h"
#include "app/support/TestFiles.h"
#include "backup/BackupTestSupport.h"

using talwen::app::ExportOutcome;
using talwen::app::ExportProgress;
using talwen::app::ProgressReport;
using talwen::app::RecoveryObserver;
using talwen::app::RecoverySession;
using talwen::common::Status;
using talwen::wchat::Stage;
using talwen::wchat::StageReport;
using talwen::wchat::StoreSummary;
using talwen::wchat::stageName;
namespace bt = talwen::backup::test;

using talwen::app::test::readFile;

namespace {

// Records what a session reports; seek progress arrives on watcher threads.
struct RecordingObserver : RecoveryObserver {
    std::vector<std::string> stages;
    std::mutex lock;
    std::set<int> seeksPolled;
    int exportReports = 0;
    bool exportFinished = false;

    void onStageBegin(Stage stage, const StageReport&) override { stages.push_back(std::string("+") + stageName(stage)); }
    void onStageEnd(Stage stage, const StageReport&) override { stages.push_back(stageName(stage)); }
    void onSeekProgress(Seek seek, const ProgressReport&) override {
        std::lock_guard<std::mutex> guard(lock);
        seeksPolled.insert(seek);
    }
    void onExportProgress(const ExportProgress& progress) override {
        ++exportReports;
        exportFinished = exportFinished || progress.finished;
    }
};

class RecoverySessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        backupDir = root.path() + "/backup";
        bt::generateBackup(backupDir, {"--layout", "db", "--accounts", "1", "--profile", "tiny", "--seed", "3"});
    }
    QTemporaryDir root;
    QString backupDir;
};

}  // namespace

TEST_F(RecoverySessionTest, RecoversExportsAndLeavesTheBackupAlone) {
    const bt::DirectorySnapshot before = bt::snapshot(backupDir);
    RecordingObserver observer;
    RecoverySession session(&observer);
    ASSERT_TRUE(session.openBackup(backupDir.toStdString()).isOk());
    ASSERT_TRUE(session.chooseAccount("").isOk());
    EXPECT_EQ(32u, session.accountDirectory().size());
    ASSERT_TRUE(session.setWorkDirectory((root.path() + "/work").toStdString()).isOk());
    ASSERT_TRUE(session.copySource().isOk());
    const Status recovered = session.recover(2);
    ASSERT_TRUE(recovered.isOk()) << recovered.message();

    // Every stage of the pipeline reached the observer, in order, begin before end.
    ASSERT_EQ(32u, observer.stages.size());
    EXPECT_EQ("+openSourceDb", observer.stages.front());
    EXPECT_EQ("finishTargetDb", observer.stages.back());
    EXPECT_EQ((std::set<int>{RecoveryObserver::kFriendSeek, RecoveryObserver::kChatTableSeek,
                             RecoveryObserver::kChatSeek}),
              observer.seeksPolled);

    ASSERT_TRUE(session.loadResults().isOk());
    StoreSummary summary;
    ASSERT_TRUE(session.summary(&summary).isOk());
    EXPECT_GT(summary.liveChats, 0);
    EXPECT_EQ(summary.carvedChats, session.results().recoveredCount());
    // Both are what the store holds, read once.
    sqlite3_stmt* carved = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(session.storeConnection(),
                                            "SELECT count(*) FROM WC_Chat WHERE obtainWay = 2", -1, &carved, nullptr));
    ASSERT_EQ(SQLITE_ROW, sqlite3_step(carved));
    EXPECT_EQ(sqlite3_column_int64(carved, 0), summary.carvedChats);
    sqlite3_finalize(carved);
    EXPECT_GT(summary.carvedChats, 0);

    const ExportOutcome exported = session.exportAll((root.path() + "/export").toStdString());
    ASSERT_TRUE(exported.status.isOk()) << exported.status.message();
    EXPECT_EQ(0, exported.failed);
    EXPECT_GT(exported.written, 0);
    EXPECT_TRUE(observer.exportFinished);
    // The conversation pages, the index and the scan report.
    EXPECT_EQ(static_cast<size_t>(exported.written) + 2,
              QDir(QString::fromStdString(exported.directory)).entryList({"*.html"}, QDir::Files).size());

    EXPECT_TRUE(before == bt::snapshot(backupDir));

    // The report's digests are those of the scanned file and of the working copy,
    // before and after the scan alike.
    const QString exportDir = QString::fromStdString(exported.directory);
    QFile reportFile(exportDir + "/report.json");
    ASSERT_TRUE(reportFile.open(QIODevice::ReadOnly));
    const QJsonObject report = QJsonDocument::fromJson(reportFile.readAll()).object();
    const QJsonObject source = report["source"].toObject();
    const QString sourceFile = source["databaseFile"].toString();
    ASSERT_TRUE(sourceFile.startsWith(QDir(backupDir).absolutePath())) << sourceFile.toStdString();
    const QByteArray bytes = readFile(sourceFile);
    const QString sha256 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
    EXPECT_EQ(sha256, source["before"].toObject()["sha256"].toString());
    EXPECT_EQ(sha256, source["after"].toObject()["sha256"].toString());
    EXPECT_EQ(bytes.size(), source["before"].toObject()["size"].toInt());
    EXPECT_TRUE(source["unchanged"].toBool());
    EXPECT_EQ(sha256, report["workingCopy"].toObject()["sha256"].toString());
    EXPECT_EQ(sha256, QString(QCryptographicHash::hash(readFile(root.path() + "/work/MM.sqlite"),
                                                       QCryptographicHash::Sha256).toHex()));
    EXPECT_EQ(summary.rejectedChats, report["rejections"].toObject()["plausibility"].toInt(-1));
    EXPECT_EQ(summary.liveChats, report["recovery"].toObject()["messages"].toObject()["liveRow"].toInt());
    EXPECT_FALSE(report["tool"].toObject()["version"].toString().isEmpty());
    EXPECT_LE(QDateTime::fromString(report["started"].toString(), Qt::ISODate),
              QDateTime::fromString(report["finished"].toString(), Qt::ISODate));
    for (const char* file : {"index.html", "report.html", "messages.csv", "messages.jsonl", "contacts.csv"}) {
        EXPECT_TRUE(QFile::exists(exportDir + "/" + file)) << file;
    }
}

TEST_F(RecoverySessionTest, StepsOutOfOrderAndACancelledRunSaySo) {
    RecoverySession session;
    struct Case {
        Status status;
        const char* message;
    } const cases[] = {
        {session.chooseAccount(""), "no backup is open"},
        {session.copySource(), "no database was chosen"},
        {session.recover(1), "the database was not copied"},
        {session.loadResults(), "there is no recovery store to read"},
        {session.keepStore((root.path() + "/kept.sqlite").toStdString()), "there is no recovery store to keep"},
        {session.exportAll((root.path() + "/export").toStdString()).status, "there is no recovery store to export"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(c.status.isOk()) << c.message;
        EXPECT_EQ(c.message, c.status.message());
    }

    // A cancel asked before the run stops it at its first boundary, as "cancelled".
    RecoverySession cancelled;
    ASSERT_TRUE(cancelled.openBackup(backupDir.toStdString()).isOk());
    ASSERT_TRUE(cancelled.chooseAccount("").isOk());
    ASSERT_TRUE(cancelled.copySource().isOk());
    cancelled.requestCancel();
    const Status stopped = cancelled.recover(1);
    EXPECT_EQ(Status::Kind::Cancelled, stopped.kind());
    EXPECT_EQ("recovery cancelled", stopped.message());
    EXPECT_FALSE(cancelled.recover(1).isOk());  // one session, one recovery
}

// The stop button during the message seek: the seek ends within a page, the store
// is finished with what was found, and the result is marked partial but readable.
TEST_F(RecoverySessionTest, AStopDuringTheMessageSeekGivesAPartialResult) {
    struct StopAtMessageSeek : RecoveryObserver {
        RecoverySession* session = nullptr;
        void onStageBegin(Stage stage, const StageReport&) override {
            if (stage == Stage::SeekChats) session->requestCancel();
        }
    } observer;
    RecoverySession session(&observer);
    observer.session = &session;
    ASSERT_TRUE(session.openBackup(backupDir.toStdString()).isOk());
    ASSERT_TRUE(session.chooseAccount("").isOk());
    ASSERT_TRUE(session.copySource().isOk());
    const Status stopped = session.recover(2);
    EXPECT_EQ(Status::Kind::Cancelled, stopped.kind());
    EXPECT_TRUE(session.resultIsPartial());
    ASSERT_TRUE(session.loadResults().isOk());
    StoreSummary summary;
    ASSERT_TRUE(session.summary(&summary).isOk());
    EXPECT_GT(summary.liveChats, 0);     // the live copy had finished
    EXPECT_EQ(0, summary.carvedChats);   // the seek stopped before its first page
    EXPECT_FALSE(session.results().friendList().empty());
}

// A link planted in place of the account's database is never opened, not even to
// check its header: the copy is refused as if the file were missing.
TEST_F(RecoverySessionTest, ALinkInPlaceOfTheDatabaseIsNotRead) {
    RecoverySession session;
    ASSERT_TRUE(session.openBackup(backupDir.toStdString()).isOk());
    ASSERT_TRUE(session.chooseAccount("").isOk());
    const std::string stored = session.backup().databaseFiles().begin()->second;
    const QString storedPath = backupDir + "/" + QString::fromStdString(stored);
    const QString outside = root.path() + "/outside.sqlite";
    ASSERT_TRUE(QFile::rename(storedPath, outside));
    ASSERT_TRUE(QFile::link(outside, storedPath));
    const Status copied = session.copySource();
    EXPECT_FALSE(copied.isOk());
    EXPECT_EQ(0u, copied.message().rfind("the backup lacks the file of ", 0)) << copied.message();
}

// A working directory given by the user may hold files of someone else (here an
// earlier copy with its -wal and -shm, where our copy would go): the session
// works in a directory of its own inside it and removes only that.
TEST_F(RecoverySessionTest, AWorkingDirectoryKeepsWhatItHeld) {
    const QString work = root.path() + "/work";
    std::string ours;
    {
        RecoverySession session;
        ASSERT_TRUE(session.openBackup(backupDir.toStdString()).isOk());
        ASSERT_TRUE(session.chooseAccount("").isOk());
        const QString accountDir = work + "/" + QString::fromStdString(session.accountDirectory());
        ASSERT_TRUE(QDir().mkpath(accountDir));
        for (const QString& dir : {work, accountDir}) {
            for (const char* name : {"MM.sqlite", "MM.sqlite-wal", "MM.sqlite-shm"}) {
                QFile file(dir + "/" + name);
                ASSERT_TRUE(file.open(QIODevice::WriteOnly));
                file.write("not ours");
            }
        }
        ASSERT_TRUE(session.setWorkDirectory(work.toStdString(), true).isOk());
        ours = session.workDirectory();
        EXPECT_EQ(work, QFileInfo(QString::fromStdString(ours)).path());
        ASSERT_TRUE(session.copySource().isOk());
        ASSERT_TRUE(session.recover(1).isOk());
        EXPECT_FALSE(QDir(QString::fromStdString(ours)).isEmpty());
    }
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(ours))) << "our directory goes with the session";
    const QStringList left = QDir(work).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    EXPECT_EQ(4, left.size()) << left.join(' ').toStdString();
    for (const QString& dir : left) {
        const QFileInfo info(work + "/" + dir);
        if (!info.isDir()) {
            QFile file(info.filePath());
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            EXPECT_EQ("not ours", file.readAll().toStdString());
        } else {
            EXPECT_EQ(3u, QDir(info.filePath()).entryList(QDir::Files | QDir::Hidden).size());
        }
    }
}
