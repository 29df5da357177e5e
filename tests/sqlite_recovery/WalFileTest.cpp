// The write-ahead log read without the SQLite library: frames classified the way
// SQLite reads the log, every frame's page image carved as the page it names,
// and damaged logs read as far as they are sound.

#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "SeekTestSupport.h"
#include "sqlite_recovery/RecordFilter.h"
#include "sqlite_recovery/SqliteBlockSeeker.h"
#include "sqlite_recovery/Table.h"
#include "sqlite_recovery/WalFile.h"

using enginetest::TempDir;
using talwen::sqlite::Record;
using talwen::sqlite::RecordFilter;
using talwen::sqlite::SqliteBlockSeeker;
using talwen::sqlite::Table;
using talwen::sqlite::WalFile;
using State = WalFile::FrameState;

namespace {

std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void exec(sqlite3* db, const std::string& sql) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
    EXPECT_EQ(SQLITE_OK, rc) << (message ? message : "") << " in " << sql;
    sqlite3_free(message);
}

std::string row(int i) { return "INSERT INTO t(b) VALUES('row " + std::to_string(i) + " " + std::string(60, 'x') + "');"; }

// A database in WAL mode, never checkpointed: rows 1-40 in one transaction,
// rows 41-80 in another, then every third row deleted, and (with restart) a full
// checkpoint followed by rows 81-85, which restarts the log over its first frames
// with new salts. The files are copied to dir/copy.db* while the connection still
// holds the log (closing would checkpoint and remove it).
void makeWalDatabase(const std::string& dir, bool restart) {
    const std::string path = dir + "/live.db";
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    exec(db, "PRAGMA page_size=1024; PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0; "
             "PRAGMA secure_delete=OFF; CREATE TABLE t(a INTEGER PRIMARY KEY, b TEXT);");
    std::string first = "BEGIN;", second = "BEGIN;";
    for (int i = 1; i <= 40; ++i) first += row(i);
    for (int i = 41; i <= 80; ++i) second += row(i);
    exec(db, first + "COMMIT;");
    exec(db, second + "COMMIT;");
    exec(db, "DELETE FROM t WHERE a % 3 = 0;");
    if (restart) {
        exec(db, "PRAGMA wal_checkpoint(PASSIVE);");
        std::string third = "BEGIN;";
        for (int i = 81; i <= 85; ++i) third += row(i);
        exec(db, third + "COMMIT;");
    }
    for (const char* suffix : {"", "-wal"}) enginetest::writeFile(dir + "/copy.db" + suffix, readBytes(path + suffix));
    sqlite3_close(db);
}

class TextFilter : public RecordFilter {
public:
    bool accept(std::shared_ptr<Record>& record) override {
        auto value = record->getFieldValue(1);
        return value && value->isText() && value->getTextValue().rfind("row ", 0) == 0;
    }
};

class RowCollector : public seektest::CollectingHandler {
public:
    RowCollector() : seektest::CollectingHandler(2) {}
    int onRecord(std::shared_ptr<Record>& record) override {
        frames.insert(WalFile::currentFrame());
        return seektest::CollectingHandler::onRecord(record);
    }
    std::set<uint32_t> frames;
};

// The numbers of the rows carved from the log's frames.
std::set<int> carveRows(const WalFile& wal, std::set<uint32_t>* frames = nullptr) {
    const Table table = Table::parse("CREATE TABLE t(a INTEGER PRIMARY KEY, b TEXT);");
    TextFilter filter;
    const SqliteBlockSeeker seeker(&table, wal.getPageSize(), wal.getPageSize(), &filter);
    RowCollector handler;
    wal.seek(seeker, nullptr, &handler);
    std::set<int> rows;
    for (const auto& record : handler.records) rows.insert(std::stoi(record.values[1].substr(6)));
    if (frames) *frames = handler.frames;
    return rows;
}

size_t countState(const WalFile& wal, State state) {
    return std::count_if(wal.getFrames().begin(), wal.getFrames().end(),
                         [state](const WalFile::Frame& f) { return f.state == state; });
}

}  // namespace

// Every row ever written, deleted ones included, is in some frame's page image,
// whatever the frame's state; the carving tells the frame, never 0.
TEST(WalFile, EveryFrameIsCarvedAndClassified) {
    struct Case {
        const char* name;
        bool restart;
        int lastRow;
    } const cases[] = {{"one log", false, 80}, {"restarted log", true, 85}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        makeWalDatabase(dir.path(), c.restart);
        WalFile wal;
        ASSERT_TRUE(wal.open(dir.file("copy.db-wal"), 1024));
        EXPECT_EQ("", wal.getNote());
        EXPECT_EQ(1024u, wal.getPageSize());
        ASSERT_FALSE(wal.getFrames().empty());
        EXPECT_EQ(0u, countState(wal, State::kInvalid));
        EXPECT_EQ(0u, countState(wal, State::kUncommitted));
        if (c.restart) {
            EXPECT_GT(countState(wal, State::kOldSalt), 0u) << "frames of before the restart";
            EXPECT_EQ(State::kCommitted, wal.getFrames().front().state);
        } else {
            EXPECT_EQ(wal.getFrames().size(), countState(wal, State::kCommitted));
        }
        std::set<uint32_t> frames;
        const std::set<int> rows = carveRows(wal, &frames);
        for (int i = 1; i <= c.lastRow; ++i) EXPECT_EQ(1u, rows.count(i)) << "row " << i;
        EXPECT_EQ(0u, frames.count(0));
        EXPECT_EQ(0u, WalFile::currentFrame()) << "outside a carving";
    }
}

// Damaged logs: read as far as they are sound, with a note, never a crash.
TEST(WalFile, DamagedLogsAreReadAsFarAsSound) {
    TempDir dir;
    makeWalDatabase(dir.path(), false);
    const std::vector<uint8_t> good = readBytes(dir.file("copy.db-wal"));
    const size_t frameSize = 24 + 1024;
    const size_t frames = (good.size() - 32) / frameSize;
    ASSERT_GT(frames, 4u);

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* note;  // part of the note
        size_t frames;
        bool anyCommitted;
    };
    std::vector<Case> cases;
    {
        std::vector<uint8_t> b = good;
        b.resize(good.size() - 100);
        cases.push_back({"torn last frame", b, "torn frame", frames - 1, true});
    }
    {
        std::vector<uint8_t> b = good;
        b[0] ^= 0xFF;
        cases.push_back({"bad magic", b, "header invalid", frames, false});
    }
    {
        std::vector<uint8_t> b = good;
        b[24] ^= 0x01;
        cases.push_back({"bad header checksum", b, "checksum", frames, false});
    }
    {
        std::vector<uint8_t> b = good;
        enginetest::putBigEndian(b, 8, 3000, 4);
        cases.push_back({"bad page size", b, "page size", frames, false});
    }
    {
        std::vector<uint8_t> b = good;
        // The last frame's page image changed: its checksum fails, and the frames of
        // its transaction before it are valid but never committed.
        b[32 + (frames - 1) * frameSize + 24 + 500] ^= 0x55;
        cases.push_back({"broken last commit frame", b, "", frames, true});
    }
    {
        std::vector<uint8_t> b(good.begin(), good.begin() + 20);
        cases.push_back({"shorter than its header", b, "shorter than its header", 0, false});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        enginetest::writeFile(dir.file("damaged.db-wal"), c.bytes);
        WalFile wal;
        ASSERT_TRUE(wal.open(dir.file("damaged.db-wal"), 1024));
        EXPECT_NE(std::string::npos, wal.getNote().find(c.note)) << wal.getNote();
        EXPECT_EQ(c.frames, wal.getFrames().size());
        EXPECT_EQ(c.anyCommitted, countState(wal, State::kCommitted) > 0);
        if (c.frames == 0) continue;
        const std::set<int> rows = carveRows(wal);
        EXPECT_GE(rows.size(), 40u) << "the sound frames still give their rows";
        if (std::string(c.name) == "broken last commit frame") {
            EXPECT_EQ(State::kInvalid, wal.getFrames().back().state);
            EXPECT_GT(countState(wal, State::kUncommitted), 0u);
        }
    }
    WalFile missing;
    EXPECT_FALSE(missing.open(dir.file("none.db-wal"), 1024));
}
