#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TempDir.h"

namespace enginetest {

// A directory of its own under the system temp directory, removed afterwards.
class TempDir : public wcrtest::TempDir {
public:
    TempDir() : wcrtest::TempDir("engine") {}
};

inline void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void putBigEndian(std::vector<uint8_t>& bytes, size_t offset, uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        bytes[offset + i] = static_cast<uint8_t>(value & 0xFF);
        value >>= 8;
    }
}

// A database file of `pages` zero pages whose header is valid: page size 512
// unless given, UTF-8, schema format 4, database size = pages.
inline std::vector<uint8_t> makeDatabaseBytes(uint32_t pages, uint32_t pageSize = 512) {
    std::vector<uint8_t> bytes(size_t(pages) * pageSize, 0);
    const char magic[16] = "SQLite format 3";
    std::copy(magic, magic + 16, bytes.begin());
    putBigEndian(bytes, 16, pageSize == 65536 ? 1 : pageSize, 2);
    bytes[18] = 1;
    bytes[19] = 1;
    bytes[20] = 0;
    bytes[21] = 64;
    bytes[22] = 32;
    bytes[23] = 32;
    putBigEndian(bytes, 28, pages, 4);
    putBigEndian(bytes, 44, 4, 4);
    putBigEndian(bytes, 56, 1, 4);
    return bytes;
}

// Runs statements on a new database file through the SQLite library.
inline void createSqliteDatabase(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
    const std::string text = message ? message : "";
    sqlite3_free(message);
    sqlite3_close(db);
    ASSERT_EQ(SQLITE_OK, rc) << text;
}

}  // namespace enginetest
