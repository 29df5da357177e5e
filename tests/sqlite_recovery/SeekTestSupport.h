#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/CommonFacility.h"
#include "sqlite_recovery/Record.h"
#include "sqlite_recovery/SeekEventHandler.h"
#include "sqlite_recovery/SqliteBlockSeeker.h"

namespace seektest {

inline std::vector<uint8_t> readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A value in a form that tests compare: "N", "I:<int>", "R:<real>", "T:<text>", "B:<hex>".
inline std::string render(const talwen::sqlite::FieldValue& value) {
    if (value.isNull()) return "N";
    if (value.isInteger()) return "I:" + std::to_string(value.getIntegerValue());
    if (value.isReal()) return "R:" + std::to_string(value.getRealValue());
    if (value.isText()) return "T:" + value.getTextValue();
    uint32_t length = 0;
    const auto& blob = value.getBlobValue(length);
    return "B:" + talwen::common::toHexString(blob.get(), length);
}

// Columns 0 .. columnCount - 1 of a record; "-" for a column the record lacks.
inline std::vector<std::string> renderRecord(const talwen::sqlite::Record& record, uint32_t columnCount) {
    std::vector<std::string> values;
    for (uint32_t i = 0; i < columnCount; ++i) {
        auto value = record.getFieldValue(i);
        values.push_back(value ? render(*value) : "-");
    }
    return values;
}

struct CarvedRecord {
    uint32_t page = 0;
    uint32_t offset = 0;
    std::vector<std::string> values;
    bool operator<(const CarvedRecord& o) const {
        return std::tie(page, offset, values) < std::tie(o.page, o.offset, o.values);
    }
    bool operator==(const CarvedRecord& o) const {
        return page == o.page && offset == o.offset && values == o.values;
    }
};

inline std::ostream& operator<<(std::ostream& out, const CarvedRecord& r) {
    out << "{page " << r.page << ", offset " << r.offset << ",";
    for (const auto& v : r.values) out << " [" << v.substr(0, 40) << "]";
    return out << "}";
}

// Keeps every record handed over, with where it was found, and the order of
// the page events ("B<n>", "E<n>").
class CollectingHandler : public talwen::sqlite::SeekEventHandler {
public:
    explicit CollectingHandler(uint32_t columnCount, int taken = 1)
        : columnCount_(columnCount), taken_(taken) {}
    void onPageBegin(uint32_t pageNumber) override { events.push_back("B" + std::to_string(pageNumber)); page_ = pageNumber; }
    void onPageEnd(uint32_t pageNumber) override { events.push_back("E" + std::to_string(pageNumber)); }
    int onRecord(std::shared_ptr<talwen::sqlite::Record>& record) override {
        records.push_back({page_, talwen::sqlite::SqliteBlockSeeker::getCurrentRecordOffset(),
                           renderRecord(*record, columnCount_)});
        return taken_;
    }
    std::vector<CarvedRecord> records;
    std::vector<std::string> events;

private:
    uint32_t columnCount_;
    int taken_;
    uint32_t page_ = 0;
};

// Where the page engine should find each live row of a table b-tree: the page
// and the offset of the first varint it reads (after `skipped` cell varints).
// Walks the tree from its root page through the interior pages' child pointers.
inline uint32_t varintLength(const uint8_t* p) {
    uint32_t n = 1;
    while (n < 9 && (p[n - 1] & 0x80) != 0) ++n;
    return n;
}

inline int64_t readVarint(const uint8_t* p) {
    int64_t v = 0;
    const uint32_t n = varintLength(p);
    for (uint32_t i = 0; i < n; ++i) v = (i == 8) ? (v << 8) | p[i] : (v << 7) | (p[i] & 0x7F);
    return v;
}

inline void collectCellPositions(const std::vector<uint8_t>& file, uint32_t pageSize, uint32_t pageNumber,
                                 uint32_t skipped, std::map<int64_t, std::pair<uint32_t, uint32_t>>& out) {
    const uint8_t* page = file.data() + size_t(pageNumber - 1) * pageSize;
    const uint32_t header = pageNumber == 1 ? 100 : 0;
    const uint8_t type = page[header];
    const uint32_t cells = (page[header + 3] << 8) | page[header + 4];
    const uint32_t pointers = header + (type == 0x05 ? 12 : 8);
    for (uint32_t i = 0; i < cells; ++i) {
        const uint32_t cell = (page[pointers + 2 * i] << 8) | page[pointers + 2 * i + 1];
        if (type == 0x05) {
            const uint32_t child = (page[cell] << 24) | (page[cell + 1] << 16) | (page[cell + 2] << 8) | page[cell + 3];
            collectCellPositions(file, pageSize, child, skipped, out);
        } else if (type == 0x0D) {
            uint32_t at = cell + varintLength(page + cell);
            const int64_t rowId = readVarint(page + at);
            at = cell;
            for (uint32_t k = 0; k < skipped; ++k) at += varintLength(page + at);
            out[rowId] = {pageNumber, at};
        }
    }
    if (type == 0x05) {
        const uint32_t right = (page[header + 8] << 24) | (page[header + 9] << 16) | (page[header + 10] << 8) | page[header + 11];
        collectCellPositions(file, pageSize, right, skipped, out);
    }
}

// Runs a query through the SQLite library and returns the first column of every row as text.
inline std::vector<std::string> queryColumn(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::vector<std::string> rows;
    EXPECT_EQ(SQLITE_OK, sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr));
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr)) << sqlite3_errmsg(db);
    while (statement && sqlite3_step(statement) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(statement, 0);
        rows.push_back(text ? reinterpret_cast<const char*>(text) : "");
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

// The message-table layout of the messenger, and a deterministic fixture of it:
// `rows` rows, then the rows whose MesLocalID % 5 is 1 or 3 deleted with
// secure_delete off. Every message is long enough (over 127 payload bytes) that
// the freeblock header of a deleted cell covers only the cell prefix.
struct MessageRow {
    int64_t localId;
    int64_t svrId;
    int64_t createTime;
    std::string message;
    int64_t status;
    int64_t type;
    std::vector<std::string> expected() const {
        return {"I:1", "N", "I:" + std::to_string(svrId), "I:" + std::to_string(createTime),
                "T:" + message, "I:" + std::to_string(status), "I:2", "I:" + std::to_string(type), "N"};
    }
};

inline const char* messageTableSql() {
    return "CREATE TABLE Chat_0123456789abcdef0123456789abcdef(TableVer integer default 1, "
           "MesLocalID integer primary key autoincrement, MesSvrID integer default 0, "
           "CreateTime integer default 0, Message text, Status integer default 0, "
           "ImgStatus integer default 2, Type integer, Des integer)";
}

inline bool isDeletedRow(int64_t localId) { return localId % 5 == 1 || localId % 5 == 3; }

// Writes the fixture to `path`, copies the file as it was before the deletes to
// `beforeDeletePath`, and returns the rows inserted.
inline std::vector<MessageRow> writeMessageFixture(const std::string& path, const std::string& beforeDeletePath,
                                                   int rows, int pageSize = 1024) {
    std::vector<MessageRow> inserted;
    sqlite3* db = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    const std::string setup = "PRAGMA page_size=" + std::to_string(pageSize) +
                              "; PRAGMA secure_delete=OFF; PRAGMA journal_mode=DELETE; " + messageTableSql() + ";";
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr)) << sqlite3_errmsg(db);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO Chat_0123456789abcdef0123456789abcdef(MesSvrID, CreateTime, Message, "
                       "Status, Type) VALUES (?, ?, ?, ?, ?)",
                       -1, &insert, nullptr);
    uint64_t seed = 12345;
    auto next = [&seed] { seed = seed * 6364136223846793005ULL + 1442695040888963407ULL; return seed >> 33; };
    for (int i = 1; i <= rows; ++i) {
        MessageRow row{i, int64_t(next()) * 1000 + i, 1500000000 + i * 37, "", int64_t(next() % 5), int64_t(next() % 50)};
        row.message = "message " + std::to_string(i) + " " + std::string(120 + next() % 80, char('a' + i % 26)) + " \xe4\xbd\xa0\xe5\xa5\xbd";
        sqlite3_bind_int64(insert, 1, row.svrId);
        sqlite3_bind_int64(insert, 2, row.createTime);
        sqlite3_bind_text(insert, 3, row.message.c_str(), int(row.message.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert, 4, row.status);
        sqlite3_bind_int64(insert, 5, row.type);
        EXPECT_EQ(SQLITE_DONE, sqlite3_step(insert));
        sqlite3_reset(insert);
        inserted.push_back(row);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);

    {
        std::ifstream in(path, std::ios::binary);
        std::ofstream out(beforeDeletePath, std::ios::binary | std::ios::trunc);
        out << in.rdbuf();
    }
    EXPECT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db,
                                      "PRAGMA secure_delete=OFF; DELETE FROM Chat_0123456789abcdef0123456789abcdef "
                                      "WHERE MesLocalID % 5 IN (1, 3);",
                                      nullptr, nullptr, nullptr));
    sqlite3_close(db);
    return inserted;
}

}  // namespace seektest
