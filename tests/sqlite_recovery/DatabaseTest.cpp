#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "EngineTestSupport.h"
#include "sqlite_recovery/Database.h"

using talwen::common::ErrorInfo;
using talwen::sqlite::ByteArray;
using talwen::sqlite::Database;
using namespace enginetest;

namespace {

struct HeaderCase {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> forge;
    const char* message;  // nullptr: the header is accepted
};

}  // namespace

TEST(Database, HeaderValidationMessages) {
    const std::vector<HeaderCase> cases = {
        {"valid", [](auto&) {}, nullptr},
        {"magic", [](auto& b) { b[14] = '4'; }, "SqliteDB: magic number invalid!"},
        {"magic zero", [](auto& b) { b[15] = ' '; }, "SqliteDB: magic number invalid!"},
        {"page size 1536", [](auto& b) { putBigEndian(b, 16, 1536, 2); }, nullptr},
        {"page size 1", [](auto& b) { putBigEndian(b, 16, 1, 2); }, nullptr},
        {"page size 65024", [](auto& b) { putBigEndian(b, 16, 65024, 2); }, nullptr},
        {"page size 256", [](auto& b) { putBigEndian(b, 16, 256, 2); }, "SqliteDB: page size[256] invalid!"},
        {"page size 1000", [](auto& b) { putBigEndian(b, 16, 1000, 2); }, "SqliteDB: page size[1000] invalid!"},
        {"page size 0", [](auto& b) { putBigEndian(b, 16, 0, 2); }, "SqliteDB: page size[0] invalid!"},
        {"page size 65535", [](auto& b) { putBigEndian(b, 16, 65535, 2); }, "SqliteDB: page size[65535] invalid!"},
        {"write version 2", [](auto& b) { b[18] = 2; }, nullptr},
        {"write version 3", [](auto& b) { b[18] = 3; }, "SqliteDB: File format write version[3] invalid!"},
        {"read version 0", [](auto& b) { b[19] = 0; }, "SqliteDB: File format read version[0] invalid!"},
        {"reserved 32", [](auto& b) { b[20] = 32; }, nullptr},
        {"reserved 33", [](auto& b) { b[20] = 33; }, "SqliteDB: Reserved space[33] invalid!"},
        {"reserved 200", [](auto& b) { b[20] = 200; }, "SqliteDB: Reserved space[200] invalid!"},
        {"max fraction", [](auto& b) { b[21] = 63; }, "SqliteDB: Maximum embedded payload fraction[63] invalid!"},
        {"min fraction", [](auto& b) { b[22] = 31; }, "SqliteDB: Minimum  embedded payload fraction[31] invalid!"},
        {"leaf fraction", [](auto& b) { b[23] = 0; }, "SqliteDB: Leaf payload fraction[0] invalid!"},
        {"trunk equal", [](auto& b) { putBigEndian(b, 32, 10, 4); }, nullptr},
        {"trunk beyond", [](auto& b) { putBigEndian(b, 32, 11, 4); },
         "SqliteDB: Page number of the first freelist trunk page[11] invalid!"},
        {"freelist beyond", [](auto& b) { putBigEndian(b, 36, 4294967295u, 4); },
         "SqliteDB: Total number of freelist pages[4294967295] invalid!"},
        {"schema 0", [](auto& b) { putBigEndian(b, 44, 0, 4); }, "SqliteDB: The schema format number[0] invalid!"},
        {"schema 1", [](auto& b) { putBigEndian(b, 44, 1, 4); }, nullptr},
        {"schema 5", [](auto& b) { putBigEndian(b, 44, 5, 4); }, "SqliteDB: The schema format number[5] invalid!"},
        {"largest root", [](auto& b) { putBigEndian(b, 52, 12, 4); },
         "SqliteDB: The page number of the largest root b-tree page[12] invalid!"},
        {"encoding 2", [](auto& b) { putBigEndian(b, 56, 2, 4); },
         "SqliteDB: The database text encoding[2] not supported!"},
        {"encoding 3", [](auto& b) { putBigEndian(b, 56, 3, 4); },
         "SqliteDB: The database text encoding[3] not supported!"},
        {"encoding 0", [](auto& b) { putBigEndian(b, 56, 0, 4); }, "SqliteDB: The database text encoding[0] invalid!"},
        {"encoding 4", [](auto& b) { putBigEndian(b, 56, 4, 4); }, "SqliteDB: The database text encoding[4] invalid!"},
        // The first failing field in table order is the one reported.
        {"first failure wins", [](auto& b) { b[18] = 9; b[20] = 99; putBigEndian(b, 56, 2, 4); },
         "SqliteDB: File format write version[9] invalid!"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        std::vector<uint8_t> bytes = makeDatabaseBytes(10);
        c.forge(bytes);
        const std::string path = dir.file("header.db");
        writeFile(path, bytes);
        Database db;
        ErrorInfo error;
        db.open(path, &error);
        if (c.message == nullptr) {
            EXPECT_TRUE(error.isSuccess()) << c.name << ": " << error.getMessage();
            EXPECT_EQ(path, db.getFileName()) << c.name;
            EXPECT_EQ(10u, db.getPages()) << c.name;
        } else {
            EXPECT_EQ(-1, error.getCode()) << c.name;
            EXPECT_EQ(c.message, error.getMessage()) << c.name;
            EXPECT_EQ("open", error.getFunctionName());
            EXPECT_EQ("sqlite_recovery/Database", error.getFileName());
            EXPECT_EQ(0u, db.getPageSize()) << "fields stay unset: " << c.name;
            EXPECT_EQ(0u, db.getPages()) << c.name;
            EXPECT_EQ("", db.getFileName()) << c.name;
        }
    }
}

TEST(Database, GeometryFromHeader) {
    TempDir dir;
    std::vector<uint8_t> bytes = makeDatabaseBytes(2, 65536);
    bytes[20] = 32;
    writeFile(dir.file("big.db"), bytes);
    Database db;
    ErrorInfo error;
    db.open(dir.file("big.db"), &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    EXPECT_EQ(65536u, db.getPageSize()) << "raw page size 1 means 65536";
    EXPECT_EQ(32u, db.getReservedSpace());
    EXPECT_EQ(65504u, db.getUsableSize());
    EXPECT_EQ(2u, db.getPages());
    EXPECT_EQ(1, db.getTextEncoding());
    EXPECT_TRUE(db.isOpen());
    db.close();
    EXPECT_FALSE(db.isOpen());
    EXPECT_EQ("", db.getFileName());
}

TEST(Database, ShortOrForeignFilesFailOnMagic) {
    TempDir dir;
    const std::vector<std::vector<uint8_t>> files = {
        {},
        {'S', 'Q', 'L', 'i', 't', 'e'},
        std::vector<uint8_t>(200, 'x'),
    };
    for (const auto& content : files) {
        writeFile(dir.file("short.db"), content);
        Database db;
        ErrorInfo error;
        db.open(dir.file("short.db"), &error);
        EXPECT_EQ("SqliteDB: magic number invalid!", error.getMessage()) << content.size();
    }
    // The magic alone, without the rest of the header, fails on the first field.
    std::vector<uint8_t> magicOnly = makeDatabaseBytes(1);
    magicOnly.resize(16);
    writeFile(dir.file("magic.db"), magicOnly);
    Database db;
    ErrorInfo error;
    db.open(dir.file("magic.db"), &error);
    EXPECT_EQ("SqliteDB: page size[0] invalid!", error.getMessage());

    db.open(dir.file("missing.db"), &error);
    EXPECT_EQ(-1, error.getCode());
    EXPECT_EQ("SqliteDB: open[" + dir.file("missing.db") + "] fail!", error.getMessage());
}

TEST(Database, ReadPagesChecksRangeAndState) {
    TempDir dir;
    std::vector<uint8_t> bytes = makeDatabaseBytes(10);
    for (uint32_t page = 1; page <= 10; ++page) bytes[(page - 1) * 512 + 200] = uint8_t(page);
    writeFile(dir.file("ten.db"), bytes);

    Database unopened;
    ErrorInfo error;
    std::vector<uint8_t> buffer(2 * 512);
    unopened.readPages(1, 0, buffer.data(), &error);
    EXPECT_EQ(-1, error.getCode());
    EXPECT_EQ("Database unopened!", error.getMessage());

    Database db;
    db.open(dir.file("ten.db"), &error);
    ASSERT_TRUE(error.isSuccess());

    db.readPages(0, 1, buffer.data(), &error);
    EXPECT_EQ(-2, error.getCode());
    EXPECT_EQ("pageNumberStart[0] is invalid!", error.getMessage());
    EXPECT_EQ("readPages", error.getFunctionName());

    db.readPages(10, 2, buffer.data(), &error);
    EXPECT_EQ(-2, error.getCode());
    EXPECT_EQ("pageNumberStart[10], readPageNum[2] is beyond pages[10]!", error.getMessage());

    db.readPages(4294967295u, 2, buffer.data(), &error);
    EXPECT_EQ(-2, error.getCode()) << "start + count must not wrap around";

    db.readPages(9, 2, buffer.data(), &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    EXPECT_EQ(9, buffer[200]);
    EXPECT_EQ(10, buffer[512 + 200]);

    db.close();
    db.readPages(1, 1, buffer.data(), &error);
    EXPECT_EQ("Database unopened!", error.getMessage());
}

TEST(Database, ReadAllPagesCachesAndOutlivesTheDatabase) {
    TempDir dir;
    const std::string path = dir.file("live.db");
    createSqliteDatabase(path,
                         "PRAGMA page_size=1024; CREATE TABLE t(a INTEGER PRIMARY KEY, b TEXT);"
                         "INSERT INTO t(b) VALUES('hello');");
    ByteArray data;
    {
        Database db;
        ErrorInfo error;
        db.open(path, &error);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
        EXPECT_EQ(1024u, db.getPageSize());
        ASSERT_EQ(2u, db.getPages());
        data = db.readAllPages(&error);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
        ASSERT_TRUE(data);
        EXPECT_EQ(data.get(), db.readAllPages(&error).get()) << "read once, then cached";
        db.close();
        EXPECT_EQ(data.get(), db.readAllPages(&error).get()) << "the cache survives close";
        EXPECT_TRUE(error.isSuccess());
    }
    EXPECT_EQ(0, std::memcmp(data.get(), "SQLite format 3", 16));
    EXPECT_EQ(13, data[1024]) << "page 2 is the table's leaf";
}

TEST(Database, ReadAllPagesFailsOnTruncatedFile) {
    TempDir dir;
    std::vector<uint8_t> bytes = makeDatabaseBytes(10);
    bytes.resize(9 * 512 + 100);
    writeFile(dir.file("short.db"), bytes);
    Database db;
    ErrorInfo error;
    db.open(dir.file("short.db"), &error);
    ASSERT_TRUE(error.isSuccess());
    EXPECT_FALSE(db.readAllPages(&error));
    EXPECT_EQ(-1, error.getCode());
    EXPECT_EQ("Database read fail!", error.getMessage());

    std::vector<uint8_t> buffer(512);
    db.readPages(10, 1, buffer.data(), &error);
    EXPECT_EQ("Database read fail!", error.getMessage()) << "a short read of the last page";
}

TEST(Database, KeepWholePagesReadsWhatATruncatedFileHolds) {
    TempDir dir;
    const std::vector<uint8_t> full = makeDatabaseBytes(10);
    struct Case {
        size_t length;
        uint32_t pages;
    } const cases[] = {{9 * 512 + 100, 9}, {10 * 512, 10}, {512, 1}, {300, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        std::vector<uint8_t> bytes(full.begin(), full.begin() + c.length);
        writeFile(dir.file("short.db"), bytes);
        Database db;
        ErrorInfo error;
        db.open(dir.file("short.db"), &error);
        ASSERT_TRUE(error.isSuccess());
        EXPECT_EQ(10u, db.keepWholePages());
        EXPECT_EQ(c.pages, db.getPages());
        const ByteArray data = db.readAllPages(&error);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
        if (c.pages > 0) EXPECT_EQ(0, std::memcmp(data.get(), full.data(), c.pages * 512));
    }
}

TEST(Database, ForgedPageCountFailsBeforeAllocating) {
    // 4294967295 pages of 64 KiB would be 256 TiB: the file length is checked
    // before any allocation, so this fails at once instead of exhausting memory.
    TempDir dir;
    std::vector<uint8_t> bytes = makeDatabaseBytes(1);
    putBigEndian(bytes, 16, 1, 2);
    putBigEndian(bytes, 28, 4294967295u, 4);
    writeFile(dir.file("forged.db"), bytes);
    Database db;
    ErrorInfo error;
    db.open(dir.file("forged.db"), &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    EXPECT_EQ(4294967295u, db.getPages());
    EXPECT_FALSE(db.readAllPages(&error));
    EXPECT_EQ(-1, error.getCode());
    EXPECT_EQ("Database read fail!", error.getMessage());
}

TEST(Database, ReadAllPagesOnUnopenedDatabase) {
    Database db;
    ErrorInfo error;
    EXPECT_FALSE(db.readAllPages(&error));
    EXPECT_EQ("Database unopened!", error.getMessage());
}

TEST(Database, BytesAfterTheLastClaimedPageAreIgnored) {
    TempDir dir;
    std::vector<uint8_t> bytes = makeDatabaseBytes(3);
    bytes.resize(bytes.size() + 700, 0xEE);
    writeFile(dir.file("long.db"), bytes);
    Database db;
    ErrorInfo error;
    db.open(dir.file("long.db"), &error);
    ByteArray data = db.readAllPages(&error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    EXPECT_EQ(0, data[3 * 512 - 1]);
}
