#include "sqlite-carve/SqliteCarve.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "common/CommonException.h"
#include "common/CommonFacility.h"
#include "sqlite_recovery/Database.h"
#include "common/ErrorInfo.h"
#include "sqlite_recovery/RecordFilter.h"
#include "sqlite_recovery/SeekEventHandler.h"
#include "sqlite_recovery/SqliteBlockSeeker.h"
#include "sqlite_recovery/SqliteDatabaseSeeker.h"
#include "sqlite_recovery/HeaderRebuilder.h"
#include "sqlite_recovery/OverflowAssembler.h"
#include "sqlite_recovery/PageMap.h"
#include "sqlite_recovery/RecordPlacement.h"
#include "sqlite_recovery/TableStatement.h"
#include "sqlite_recovery/WalFile.h"
#include "sqldb/SqliteAssistant.h"

namespace talwen {
namespace sqlite {

const char* const kSqliteCarveUsage =
    "usage: sqlite-carve [--threads N] [--keep-null-rows] FILE TABLE\n"
    "\n"
    "Carves every record of table TABLE, live and deleted, from every byte offset\n"
    "of every page of the SQLite file FILE, without the SQLite library, and prints\n"
    "one JSON object per line:\n"
    "  {\"page\": N, \"offset\": N, \"state\": S, \"values\": [...]}\n"
    "page is the page number (from 1); offset is the byte offset within that page\n"
    "at which the record's serial types matched the table, i.e. the start of the\n"
    "varints read (the first serial type, or the second when the table's INTEGER\n"
    "PRIMARY KEY is its first column). state is live, freeblock, unallocated or\n"
    "freelist. \"header\": \"rebuilt\" marks a record whose first serial type a\n"
    "freeblock header covered and was inferred; \"truncated\": true a deleted\n"
    "record whose overflow chain is gone (columns after the cut are null).\n"
    "values lists all columns in order: integers\n"
    "and reals as numbers, text as strings (invalid UTF-8 as \\uFFFD), blobs as\n"
    "lower-case hex strings, NULL as null; the row id column is null, since a\n"
    "record does not hold it. Records whose values are all NULL are left out\n"
    "unless --keep-null-rows is given. The file is only read.\n"
    "\n"
    "  --threads N       scan with N threads (default 2)\n"
    "  --keep-null-rows  also print records whose values are all NULL\n";

namespace {

const char kSchemaDefinition[] =
    "CREATE TABLE sqlite_master(type text not null, name text not null primary key, "
    "tbl_name text, rootpage integer not null, sql text);";

bool isWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

bool equalsIgnoreCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return i == a.size() && b[i] == '\0';
}

void appendControlEscape(std::string& out, unsigned char c) {
    switch (c) {
        case '\b': out += "\\b"; return;
        case '\f': out += "\\f"; return;
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        default: break;
    }
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
    out += buffer;
}

// Percent-encodes a path for an SQLite URI filename.
// Drops records that carry nothing: runs of zero bytes read as a record of
// NULLs at nearly every offset.
// A text of NUL bytes only is what runs of zero bytes read as, not a stored
// value: such records are left out as well.
class NonNullRecordFilter : public RecordFilter {
public:
    bool accept(std::shared_ptr<Record>& record) override {
        bool someValue = false;
        for (const auto& value : record->getFieldValues()) {
            if (value->isText() && !value->getTextValue().empty() &&
                value->getTextValue().find_first_not_of('\0') == std::string::npos) {
                return false;
            }
            someValue = someValue || !value->isNull();
        }
        return someValue;
    }
};

// One output line and where its record lies, for ordering and for telling a
// rebuilt record from one the seek already found.
struct CarvedLine {
    uint32_t page = 0;
    uint32_t offset = 0;
    uint32_t valuesStart = 0;
    std::string text;
    bool dropped = false;
    uint32_t valuesEnd = 0;  // for records the seek found
};

// Collects the output lines of one seek thread; printed after the seek in
// page order, whatever the thread count.
class JsonLinesHandler : public SeekEventHandler {
public:
    JsonLinesHandler(const Table* table, bool placed) : table_(table), placed_(placed) {}
    void onPageBegin(uint32_t pageNumber) override { pageNumber_ = pageNumber; }
    void onPageEnd(uint32_t) override {}
    int onRecord(std::shared_ptr<Record>& record) override {
        const uint32_t offset = SqliteBlockSeeker::getCurrentRecordOffset();
        const uint32_t valuesStart = offset + SqliteBlockSeeker::getCurrentHeaderBytes();
        uint32_t valuesEnd = valuesStart;
        for (const auto& value : record->getFieldValues()) valuesEnd += value->getValueBytes();
        lines_.push_back({pageNumber_, offset, valuesStart,
                          formatRecordJson(pageNumber_, offset, *table_, *record,
                                           placed_ ? RecordPlacement::name(PlacementFilter::lastState()) : ""),
                          false, valuesEnd});
        return 1;
    }
    std::vector<CarvedLine>& lines() { return lines_; }

private:
    const Table* table_;
    bool placed_;
    uint32_t pageNumber_ = 0;
    std::vector<CarvedLine> lines_;
};

// Collects the lines of the records carved from the write-ahead log's frames:
// each names the page its frame is for, and the frame.
class WalLinesHandler : public SeekEventHandler {
public:
    explicit WalLinesHandler(const Table* table) : table_(table) {}
    void onPageBegin(uint32_t pageNumber) override { pageNumber_ = pageNumber; }
    void onPageEnd(uint32_t) override {}
    int onRecord(std::shared_ptr<Record>& record) override {
        std::string line =
            formatRecordJson(pageNumber_, SqliteBlockSeeker::getCurrentRecordOffset(), *table_, *record, "");
        // The values come last: the first ", \"values\"" is the key's own.
        const size_t at = line.find(", \"values\": [");
        if (at != std::string::npos) {
            line.insert(at, ", \"source\": \"wal\", \"frame\": " + std::to_string(WalFile::currentFrame()));
        }
        lines_.push_back(std::move(line));
        return 1;
    }
    const std::vector<std::string>& lines() const { return lines_; }

private:
    const Table* table_;
    uint32_t pageNumber_ = 0;
    std::vector<std::string> lines_;
};

// Decodes a whole record (header length first) taken out of pages and chains.
// A value the payload cuts short keeps what is there (text and blob) and the
// columns after it stay out; `cut` tells. False when the header does not read
// as the table's or no value decodes.
bool decodePayload(uint32_t pageNumber, const std::vector<uint8_t>& payload, const Table& table,
                   const RecordInspector& inspector, Record& record, bool& cut) {
    record.clear();
    cut = false;
    common::ErrorInfo error;
    uint32_t lengthBytes = 0;
    const int64_t headerLength = parseVarint(payload.data(), uint32_t(payload.size()), lengthBytes, &error);
    if (!error.isSuccess() || headerLength <= 0 || uint64_t(headerLength) > payload.size()) return false;
    uint32_t consumed = 0;
    const std::vector<int64_t> types = parseVarints(payload.data() + lengthBytes, uint32_t(headerLength) - lengthBytes,
                                                    table.getFieldCount(), consumed, &error);
    const auto& columns = inspector.getTypeInfos();
    if (!error.isSuccess() || types.size() != columns.size() || lengthBytes + consumed != uint64_t(headerLength)) {
        return false;
    }
    uint32_t at = uint32_t(headerLength);
    for (uint32_t i = 0; i < types.size(); ++i) {
        if (!columns[i].matches(types[i])) return false;
    }
    for (uint32_t i = 0; i < types.size(); ++i) {
        const std::string& name = table.getFieldByFieldIndex(i).getFieldName();
        uint32_t used = 0;
        std::shared_ptr<FieldValue> value = FieldValue::parseFieldValue(
            pageNumber, payload.data(), at, uint32_t(payload.size()), i, name, types[i], used, &error);
        if (!value) {
            cut = true;
            const uint32_t left = uint32_t(payload.size()) - std::min<uint32_t>(at, uint32_t(payload.size()));
            if (isText(types[i])) {
                value = std::make_shared<FieldValue>(
                    pageNumber, i, name, types[i], at, left,
                    std::string(reinterpret_cast<const char*>(payload.data()) + at, left));
                record.addFieldValue(value);
            }
            break;
        }
        if (inspector.getOptions().textEncoding != 1 && value->isText()) {
            value = std::make_shared<FieldValue>(pageNumber, i, name, types[i], at, used,
                                                 utf16ToUtf8(value->getTextValue(), inspector.getOptions().textEncoding == 3));
        }
        record.addFieldValue(value);
        at += used;
    }
    return !record.isEmpty();
}

// Records whose payload spilled into overflow pages, which the seek can only
// read as far as the page goes: live ones of the table through their chains,
// deleted ones through what is left of theirs (the rest "truncated").
void addSpilledRecords(const uint8_t* data, const Database& database, const Table& table, const PageMap& map,
                       uint32_t tableRoot, const RecordPlacement& placement, RecordFilter* filter,
                       const CarveOptions& options, std::vector<CarvedLine>& lines) {
    const uint32_t usable = database.getUsableSize();
    const std::shared_ptr<RecordInspector> inspector = RecordInspector::create(&table, usable, options);
    const OverflowAssembler assembler(data, database.getPages(), database.getPageSize(), usable, &map);
    const bool rowIdFirst = inspector->getSkippedHead() == 4;
    std::vector<std::pair<uint32_t, uint32_t>> emitted;  // page, offset
    std::vector<uint8_t> payload;
    std::vector<int64_t> varints;
    RecordInspector::PageTail tail;
    auto record = std::make_shared<Record>();
    common::ErrorInfo error;
    const auto emit = [&](uint32_t pageNumber, uint32_t offset, RecordPlacement::State state, bool cut) {
        if (filter != nullptr && !filter->accept(record)) return;
        std::string text = formatRecordJson(pageNumber, offset, table, *record, RecordPlacement::name(state));
        if (cut) text.insert(text.find(", \"values\""), ", \"truncated\": true");
        lines.push_back({pageNumber, offset, offset, text});
        emitted.emplace_back(pageNumber, offset);
    };
    for (uint32_t pageNumber = 1; pageNumber <= database.getPages(); ++pageNumber) {
        const PageMap::PageKind kind = map.getPageKind(pageNumber);
        if (kind == PageMap::PageKind::kOverflow) continue;
        if (kind == PageMap::PageKind::kBtree && map.getOwnerRoot(pageNumber) != tableRoot) continue;
        const uint8_t* page = data + uint64_t(pageNumber - 1) * database.getPageSize();
        tail.reset(page);
        bool cut = false;
        for (const PageMap::Cell& cell : map.getCells(pageNumber)) {
            if (!cell.overflows || cell.firstSerialType == 0) continue;
            if (!assembler.assemble(pageNumber, cell.payloadStart, cell.payload, payload, tableRoot)) continue;
            if (!decodePayload(pageNumber, payload, table, *inspector, *record, cut) || cut) continue;
            emit(pageNumber, rowIdFirst ? cell.secondSerialType : cell.firstSerialType, RecordPlacement::State::kLive,
                 false);
        }
        for (uint32_t offset = std::max<uint32_t>(8, map.getStructureEnd(pageNumber)); offset < usable; ++offset) {
            if (kind == PageMap::PageKind::kBtree) {
                PageMap::Cell cell;
                const PageMap::Region region = map.locate(pageNumber, offset, &cell);
                if (region == PageMap::Region::kLiveCell) {
                    offset = cell.end - 1;
                    continue;
                }
                if (region == PageMap::Region::kStructure) continue;
            }
            uint32_t headerBytes = 0;
            const bool ok = inspector->inspect(page, offset, varints, headerBytes, &error, tail);
            if (!error.isSuccess()) break;
            if (!ok) continue;
            const uint32_t headerLength = headerBytes + (rowIdFirst ? 2 : 1);
            if (offset < headerLength - headerBytes || headerLength >= 0x80) continue;
            const uint32_t payloadStart = offset - (headerLength - headerBytes);
            uint64_t size = headerLength;
            for (int64_t type : varints) size += uint64_t(std::max<int64_t>(0, HeaderRebuilder::valueSize(type)));
            if (size <= usable - 35) continue;  // the seek reads it whole
            const bool whole = assembler.assemble(pageNumber, payloadStart, size, payload);
            const uint32_t local = PageMap::localPayloadSize(size, usable, true);
            if (payload.size() < local) continue;
            if (payload.size() == local) {
                // The chain breaks at its first page: only an intact header length and
                // a page number within the file still say that this is a record.
                const uint32_t first = static_cast<uint32_t>(readBigEndian(page + payloadStart + local, 4));
                if (page[payloadStart] != headerLength || first == 0 || first > database.getPages()) continue;
            }
            payload[0] = static_cast<uint8_t>(headerLength);  // a freeblock header may have covered it
            if (!decodePayload(pageNumber, payload, table, *inspector, *record, cut)) continue;
            const RecordPlacement::State state = placement.judgeFree(pageNumber, payloadStart, payloadStart + local + 4);
            if (state == RecordPlacement::State::kRejected) continue;
            emit(pageNumber, offset, state, !whole || cut);
            offset = payloadStart + local + 3;
        }
    }
    std::sort(emitted.begin(), emitted.end());
    // What the seek read at the same places ran on past the local part.
    const size_t added = emitted.size();
    for (size_t i = 0; i + added < lines.size(); ++i) {
        CarvedLine& line = lines[i];
        if (std::binary_search(emitted.begin(), emitted.end(), std::make_pair(line.page, line.offset))) line.dropped = true;
    }
}

// Records of pages the table may own whose first serial type a freeblock
// header overwrote, unless the seek found the same values already.
void addRebuiltRecords(const uint8_t* data, const Database& database, const Table& table, const PageMap& map,
                       uint32_t tableRoot, const RecordPlacement& placement, RecordFilter* filter,
                       const CarveOptions& options, std::vector<CarvedLine>& lines) {
    const std::shared_ptr<RecordInspector> inspector =
        RecordInspector::create(&table, database.getUsableSize(), options);
    const HeaderRebuilder rebuilder(inspector.get());
    if (!rebuilder.applies()) return;
    std::vector<std::pair<uint32_t, uint32_t>> found;  // page, values start
    // Where the cells the seek found start, with their whole prefix or under a
    // freeblock header.
    std::vector<std::pair<uint32_t, uint32_t>> intactCells;  // page, cell start
    const bool rowIdFirst = inspector->getSkippedHead() == 4;
    std::vector<uint32_t> starts;
    for (const CarvedLine& line : lines) {
        found.emplace_back(line.page, line.valuesStart);
        const uint8_t* page = data + uint64_t(line.page - 1) * database.getPageSize();
        starts.clear();
        HeaderRebuilder::addCellStartsOf(page, database.getUsableSize(), line.offset, line.valuesStart,
                                         line.valuesEnd, rowIdFirst, starts);
        for (const uint32_t start : starts) intactCells.emplace_back(line.page, start);
    }
    std::sort(found.begin(), found.end());
    std::sort(intactCells.begin(), intactCells.end());

    std::vector<HeaderRebuilder::Rebuilt> rebuilt;
    auto record = std::make_shared<Record>();
    common::ErrorInfo error;
    for (uint32_t pageNumber = 1; pageNumber <= database.getPages(); ++pageNumber) {
        const PageMap::PageKind kind = map.getPageKind(pageNumber);
        if (kind == PageMap::PageKind::kOverflow) continue;
        if (kind == PageMap::PageKind::kBtree && map.getOwnerRoot(pageNumber) != tableRoot) continue;
        const uint8_t* page = data + uint64_t(pageNumber - 1) * database.getPageSize();
        rebuilt.clear();
        std::vector<uint32_t> boundaries = map.getCellBoundaries(pageNumber);
        for (auto it = std::lower_bound(intactCells.begin(), intactCells.end(), std::make_pair(pageNumber, 0u));
             it != intactCells.end() && it->first == pageNumber; ++it) {
            boundaries.push_back(it->second);
        }
        std::sort(boundaries.begin(), boundaries.end());
        rebuilder.rebuild(page, std::max<uint32_t>(8, map.getStructureEnd(pageNumber)), boundaries, rebuilt);
        for (const HeaderRebuilder::Rebuilt& candidate : rebuilt) {
            const uint32_t valuesStart = candidate.offset + candidate.headerBytes;
            if (std::binary_search(found.begin(), found.end(), std::make_pair(pageNumber, valuesStart))) continue;
            uint32_t recordBytes = 0;
            if (!inspector->inspectFieldValues(pageNumber, page, candidate.varints, candidate.offset,
                                               candidate.headerBytes, record, recordBytes, &error) ||
                valuesStart + recordBytes != candidate.end) {
                continue;
            }
            if (filter != nullptr && !filter->accept(record)) continue;
            if (!HeaderRebuilder::readsAsStoredText(*record)) continue;
            const RecordPlacement::State state =
                placement.judge(pageNumber, candidate.offset, candidate.headerBytes, *record);
            if (state == RecordPlacement::State::kRejected || state == RecordPlacement::State::kLive) continue;
            std::string text = formatRecordJson(pageNumber, candidate.offset, table, *record,
                                                RecordPlacement::name(state), true);
            if (candidate.firstUnknown) text.insert(text.find(", \"values\""), ", \"unknown\": [0]");
            lines.push_back({pageNumber, candidate.offset, valuesStart, text});
        }
    }
}

}  // namespace

std::string jsonQuote(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            if (b == '"') {
                out += "\\\"";
            } else if (b == '\\') {
                out += "\\\\";
            } else if (b < 0x20) {
                appendControlEscape(out, b);
            } else {
                out += static_cast<char>(b);
            }
            ++i;
            continue;
        }
        // Well-formed UTF-8 sequences (no overlong forms, no surrogates, nothing
        // above U+10FFFF): the lead byte fixes the length and the second byte's range.
        size_t need = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
        } else if (b == 0xE0) {
            need = 2, low = 0xA0;
        } else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
            need = 2;
        } else if (b == 0xED) {
            need = 2, high = 0x9F;
        } else if (b == 0xF0) {
            need = 3, low = 0x90;
        } else if (b >= 0xF1 && b <= 0xF3) {
            need = 3;
        } else if (b == 0xF4) {
            need = 3, high = 0x8F;
        }
        size_t j = i + 1;
        size_t got = 0;
        while (got < need && j < n) {
            const unsigned char c = static_cast<unsigned char>(text[j]);
            if (c < (got == 0 ? low : 0x80) || c > (got == 0 ? high : 0xBF)) break;
            ++j;
            ++got;
        }
        if (need > 0 && got == need) {
            out.append(text, i, j - i);
        } else {
            // One replacement for the maximal ill-formed subsequence.
            out += "\\uFFFD";
        }
        i = j;
    }
    out += '"';
    return out;
}

std::string jsonReal(double value) {
    if (!std::isfinite(value)) return "null";
    char buffer[40];
    for (int precision = 15; precision <= 17; ++precision) {
        std::snprintf(buffer, sizeof buffer, "%.*g", precision, value);
        if (std::strtod(buffer, nullptr) == value) break;
    }
    return buffer;
}

std::string unquoteIdentifiers(const std::string& statement) {
    std::string out;
    out.reserve(statement.size());
    std::string lastWord;
    const size_t n = statement.size();
    size_t i = 0;
    while (i < n) {
        const char c = statement[i];
        if (c == '\'' || c == '"' || c == '`' || c == '[') {
            const char close = c == '[' ? ']' : c;
            std::string content;
            size_t j = i + 1;
            bool closed = false;
            while (j < n) {
                if (statement[j] == close) {
                    if (close != ']' && j + 1 < n && statement[j + 1] == close) {
                        content += close;
                        j += 2;
                        continue;
                    }
                    closed = true;
                    break;
                }
                content += statement[j++];
            }
            if (!closed) {
                // Unterminated: leave the rest to the parser, which refuses it.
                out.append(statement, i, std::string::npos);
                break;
            }
            if ((c == '\'' || c == '"') && equalsIgnoreCase(lastWord, "DEFAULT")) {
                out.append(statement, i, j + 1 - i);
            } else {
                for (char& x : content) {
                    if (!isWordChar(x)) x = '_';
                }
                out += content.empty() ? std::string("_") : content;
            }
            lastWord.clear();
            i = j + 1;
        } else if (isWordChar(c)) {
            size_t j = i;
            while (j < n && isWordChar(statement[j])) ++j;
            lastWord.assign(statement, i, j - i);
            out.append(statement, i, j - i);
            i = j;
        } else {
            if (!isBlank(c)) lastWord.clear();
            out += c;
            ++i;
        }
    }
    return out;
}

std::string formatRecordJson(uint32_t pageNumber, uint32_t offset, const Table& table,
                             const Record& record, const std::string& state, bool rebuilt) {
    std::string line = "{\"page\": " + std::to_string(pageNumber) + ", \"offset\": " + std::to_string(offset);
    if (!state.empty()) line += ", \"state\": \"" + state + "\"";
    if (rebuilt) line += ", \"header\": \"rebuilt\"";
    line += ", \"values\": [";
    for (uint32_t i = 0; i < table.getFieldCount(); ++i) {
        if (i > 0) line += ", ";
        const std::shared_ptr<FieldValue> value = record.getFieldValue(i);
        if (!value || value->isNull()) {
            line += "null";
        } else if (value->isInteger()) {
            line += std::to_string(value->getIntegerValue());
        } else if (value->isReal()) {
            line += jsonReal(value->getRealValue());
        } else if (value->isText()) {
            line += jsonQuote(value->getTextValue());
        } else if (value->isBlob()) {
            uint32_t length = 0;
            const ByteArray& blob = value->getBlobValue(length);
            line += '"' + common::toHexString(blob.get(), length) + '"';
        } else {
            line += "null";
        }
    }
    line += "]}";
    return line;
}

bool readTableDefinition(const std::string& path, const std::string& tableName, std::string& sql,
                         std::string& message) {
    if (equalsIgnoreCase(tableName, "sqlite_master") || equalsIgnoreCase(tableName, "sqlite_schema")) {
        sql = kSchemaDefinition;
        return true;
    }
    const std::string uri = sqldb::SqliteAssistant::immutableUri(path);
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    sqlite3_stmt* statement = nullptr;
    if (rc == SQLITE_OK) {
        rc = sqlite3_prepare_v2(db,
                                "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = ?1 "
                                "COLLATE NOCASE",
                                -1, &statement, nullptr);
    }
    bool found = false;
    if (rc == SQLITE_OK) {
        sqlite3_bind_text(statement, 1, tableName.c_str(), static_cast<int>(tableName.size()),
                          SQLITE_TRANSIENT);
        rc = sqlite3_step(statement);
        if (rc == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(statement, 0);
            sql = text ? reinterpret_cast<const char*>(text) : "";
            found = true;
        }
    }
    if (!found) {
        if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
            message = "no table named " + tableName + " in " + path;
        } else {
            message = "cannot read the schema of " + path + ": " +
                      (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return found;
}

bool readRootPages(const std::string& path, const std::string& tableName, std::vector<uint32_t>& roots,
                   uint32_t& tableRoot) {
    if (equalsIgnoreCase(tableName, "sqlite_master") || equalsIgnoreCase(tableName, "sqlite_schema")) tableRoot = 1;
    const std::string uri = sqldb::SqliteAssistant::immutableUri(path);
    sqlite3* db = nullptr;
    sqlite3_stmt* statement = nullptr;
    bool ok = false;
    if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT rootpage, type = 'table' AND name = ?1 COLLATE NOCASE FROM sqlite_master "
                               "WHERE rootpage > 0",
                           -1, &statement, nullptr) == SQLITE_OK) {
        sqlite3_bind_text(statement, 1, tableName.c_str(), static_cast<int>(tableName.size()), SQLITE_TRANSIENT);
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
            const int64_t root = sqlite3_column_int64(statement, 0);
            if (root <= 0 || root > UINT32_MAX) continue;
            roots.push_back(static_cast<uint32_t>(root));
            if (sqlite3_column_int(statement, 1) != 0) tableRoot = static_cast<uint32_t>(root);
        }
        ok = rc == SQLITE_DONE;
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return ok && tableRoot != 0;
}

std::vector<std::string> readShadowTables(const std::string& path, const std::string& tableName) {
    std::vector<std::string> names;
    const std::string uri = sqldb::SqliteAssistant::immutableUri(path);
    sqlite3* db = nullptr;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db,
                           "SELECT name FROM sqlite_master WHERE type = 'table' AND substr(name, 1, ?2) = ?1 "
                           "COLLATE NOCASE ORDER BY name",
                           -1, &statement, nullptr) == SQLITE_OK) {
        const std::string prefix = tableName + "_";
        sqlite3_bind_text(statement, 1, prefix.c_str(), static_cast<int>(prefix.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(statement, 2, static_cast<int>(prefix.size()));
        while (sqlite3_step(statement) == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(statement, 0);
            if (text) names.emplace_back(reinterpret_cast<const char*>(text));
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return names;
}

int runSqliteCarve(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    uint32_t threads = 2;
    bool keepNullRows = false;
    std::vector<std::string> positional;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--threads") {
            if (i + 1 >= arguments.size()) {
                err << kSqliteCarveUsage;
                return 2;
            }
            const std::string& count = arguments[++i];
            char* end = nullptr;
            const long value = std::strtol(count.c_str(), &end, 10);
            if (count.empty() || *end != '\0' || value < 1 || value > 1024) {
                err << "sqlite-carve: --threads needs a number from 1 to 1024, not [" << count << "]\n";
                return 2;
            }
            threads = static_cast<uint32_t>(value);
        } else if (argument == "--keep-null-rows") {
            keepNullRows = true;
        } else if (argument == "-h" || argument == "--help") {
            out << kSqliteCarveUsage;
            return 0;
        } else if (argument.size() > 1 && argument[0] == '-' && argument != "--") {
            err << kSqliteCarveUsage;
            return 2;
        } else {
            positional.push_back(argument);
        }
    }
    if (positional.size() != 2) {
        err << kSqliteCarveUsage;
        return 2;
    }
    const std::string& path = positional[0];
    const std::string& tableName = positional[1];

    std::error_code ec;
    const std::filesystem::file_type type = std::filesystem::status(std::filesystem::u8path(path), ec).type();
    if (type != std::filesystem::file_type::regular) {
        // Say what is there: a directory or a pipe is not a missing file.
        const char* what = type == std::filesystem::file_type::directory ? "is a directory, not a database file"
                           : type == std::filesystem::file_type::fifo    ? "is a FIFO (named pipe), not a database file"
                           : type == std::filesystem::file_type::not_found || type == std::filesystem::file_type::none
                               ? nullptr
                               : "is not a regular file";
        if (what == nullptr) err << "sqlite-carve: no such file: " << path << "\n";
        else err << "sqlite-carve: " << path << " " << what << "\n";
        return 1;
    }
    Database database;
    database.setAcceptUtf16(true);
    common::ErrorInfo error;
    database.open(path, &error);
    if (!error.isSuccess()) {
        err << "sqlite-carve: not an SQLite database: " << path << " (" << error.getMessage() << ")\n";
        return 1;
    }

    std::string sql;
    std::string message;
    if (!readTableDefinition(path, tableName, sql, message)) {
        err << "sqlite-carve: " << message << "\n";
        return 1;
    }
    TableStatement definition;
    try {
        definition = TableStatement::parse(sql);
    } catch (const common::CommonException& e) {
        err << "sqlite-carve: cannot parse the definition of " << tableName << ": " << e.getDebugInfo()
            << "\n";
        return 1;
    }
    if (definition.kind == TableStatement::kVirtual) {
        const std::vector<std::string> shadows = readShadowTables(path, definition.tableName);
        err << "sqlite-carve: " << definition.tableName << " is a virtual table (module "
            << (definition.module.empty() ? std::string("unknown") : definition.module)
            << ") whose rows the module keeps elsewhere; ";
        if (shadows.empty()) {
            err << "it has no shadow tables in this file\n";
        } else {
            err << "carve its shadow tables:";
            for (const std::string& shadow : shadows) err << ' ' << shadow;
            err << "\n";
        }
        return 1;
    }
    if (definition.kind == TableStatement::kWithoutRowId) {
        err << "sqlite-carve: " << definition.tableName
            << " is a WITHOUT ROWID table, stored as an index b-tree, which sqlite-carve does not carve\n";
        return 1;
    }
    const std::shared_ptr<Table> table = definition.table;

    NonNullRecordFilter nonNull;
    RecordFilter* filter = keepNullRows ? nullptr : &nonNull;
    // Who owns which bytes: without the schema's root pages every record is
    // printed as found, without a state.
    std::vector<uint32_t> roots;
    uint32_t tableRoot = 0;
    PageMap pageMap;
    std::unique_ptr<RecordPlacement> placement;
    std::unique_ptr<PlacementFilter> placementFilter;
    const ByteArray data = database.readAllPages(&error);
    if (!error.isSuccess()) {
        err << "sqlite-carve: cannot read " << path << ": " << error.getMessage() << "\n";
        return 1;
    }
    if (readRootPages(path, definition.tableName, roots, tableRoot)) {
        const uint32_t firstTrunk = static_cast<uint32_t>(readBigEndian(data.get() + 32, 4));
        pageMap.build(data.get(), database.getPages(), database.getPageSize(), database.getUsableSize(), roots,
                      firstTrunk);
        placement = std::make_unique<RecordPlacement>(&pageMap, tableRoot, table->getRowIdFieldIndex() == 0);
        placementFilter = std::make_unique<PlacementFilter>(placement.get(), filter);
        filter = placementFilter.get();
    }
    std::vector<std::unique_ptr<JsonLinesHandler>> handlers;
    std::vector<SeekEventHandler*> handlerPointers;
    for (uint32_t i = 0; i < threads; ++i) {
        handlers.push_back(std::make_unique<JsonLinesHandler>(table.get(), placement != nullptr));
        handlerPointers.push_back(handlers.back().get());
    }
    SqliteDatabaseSeeker seeker(&database, table.get(), filter);
    const CarveOptions options = CarveOptions::forensic(database.getTextEncoding());
    seeker.setOptions(options);
    seeker.seek(threads, nullptr, handlerPointers.data(), &error);
    if (!error.isSuccess()) {
        err << "sqlite-carve: cannot read " << path << ": " << error.getMessage() << "\n";
        return 1;
    }
    std::vector<CarvedLine> lines;
    for (const auto& handler : handlers) {
        lines.insert(lines.end(), handler->lines().begin(), handler->lines().end());
    }
    if (placement) {
        // The placement filter's inner filter is what decides about contents.
        addRebuiltRecords(data.get(), database, *table, pageMap, tableRoot, *placement,
                          keepNullRows ? nullptr : &nonNull, options, lines);
    }
    if (placement) {
        addSpilledRecords(data.get(), database, *table, pageMap, tableRoot, *placement,
                          keepNullRows ? nullptr : &nonNull, options, lines);
    }
    std::stable_sort(lines.begin(), lines.end(), [](const CarvedLine& a, const CarvedLine& b) {
        return a.page != b.page ? a.page < b.page : a.offset < b.offset;
    });
    for (const CarvedLine& line : lines) {
        if (!line.dropped) out << line.text << '\n';
    }

    // The write-ahead log beside the file: every frame's page image, in frame
    // order. Its pages are other versions of the file's pages, so the file's
    // ownership map does not apply to them and they carry no state.
    const std::string walPath = path + "-wal";
    if (std::filesystem::is_regular_file(std::filesystem::u8path(walPath), ec)) {
        WalFile wal;
        const bool opened = wal.open(walPath, database.getPageSize());
        if (!wal.getNote().empty()) err << "sqlite-carve: note: " << walPath << ": " << wal.getNote() << "\n";
        if (opened && wal.getPageSize() > database.getReservedSpace()) {
            const SqliteBlockSeeker blockSeeker(table.get(), wal.getPageSize(),
                                                wal.getPageSize() - database.getReservedSpace(),
                                                keepNullRows ? nullptr : &nonNull, options);
            WalLinesHandler walLines(table.get());
            // A frame is another version of the page it names; a page that the file
            // gives to another b-tree (or to a live payload) is not this table's.
            const uint32_t pages = database.getPages();
            const auto carvePage = [&](uint32_t pageNumber) {
                if (!placement || pageNumber > pages) return true;
                const PageMap::PageKind kind = pageMap.getPageKind(pageNumber);
                if (kind == PageMap::PageKind::kOverflow) return false;
                return kind != PageMap::PageKind::kBtree || pageMap.getOwnerRoot(pageNumber) == tableRoot;
            };
            wal.seek(blockSeeker, nullptr, &walLines, carvePage);
            for (const std::string& line : walLines.lines()) out << line << '\n';
        }
    }
    return 0;
}

}  // namespace sqlite
}  // namespace talwen
