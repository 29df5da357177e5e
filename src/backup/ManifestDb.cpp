#include "backup/ManifestDb.h"

#include "backup/InputLimits.h"
#include "backup/ReadOnlyFile.h"
#include "sqldb/SqliteAssistant.h"


#include <sqlite3.h>

#include <memory>

namespace talwen::backup {

namespace {

constexpr int kFileFlag = 1;

struct CloseDb {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct FinalizeStmt {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};

std::string columnText(sqlite3_stmt* stmt, int column)
{
    const unsigned char* text = sqlite3_column_text(stmt, column);
    if (!text)
        return std::string();
    return std::string(reinterpret_cast<const char*>(text), std::size_t(sqlite3_column_bytes(stmt, column)));
}

} // namespace

bool ManifestDb::isFileId(const std::string& fileId)
{
    if (fileId.size() != 40)
        return false;
    for (char c : fileId) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex)
            return false;
    }
    return true;
}

std::vector<MbdbRecord> ManifestDb::readFiles(const std::string& manifestPath)
{
    return readFiles(manifestPath, std::string(), SIZE_MAX, nullptr);
}

std::vector<MbdbRecord> ManifestDb::readFiles(const std::string& manifestPath, const std::string& domain,
                                              std::size_t maxRecords, bool* overLimit)
{
    return readRows(manifestPath, domain, maxRecords, overLimit, nullptr);
}

std::map<std::string, FileRecord> ManifestDb::readFileRecords(const std::string& manifestPath,
                                                              const std::string& domain, std::size_t maxRecords,
                                                              bool* overLimit)
{
    std::map<std::string, FileRecord> fileRecords;
    readRows(manifestPath, domain, maxRecords, overLimit, &fileRecords);
    return fileRecords;
}

std::vector<MbdbRecord> ManifestDb::readRows(const std::string& manifestPath, const std::string& domain,
                                             std::size_t maxRecords, bool* overLimit,
                                             std::map<std::string, FileRecord>* fileRecords)
{
    std::vector<MbdbRecord> records;
    if (overLimit)
        *overLimit = false;
    const QString path = QString::fromStdString(manifestPath);
    if (!ReadOnlyFile::isRegularFile(path))
        return records;

    sqlite3* rawDb = nullptr;
    const int openRc = sqlite3_open_v2(sqldb::SqliteAssistant::immutableUri(manifestPath).c_str(), &rawDb,
                                       SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    std::unique_ptr<sqlite3, CloseDb> db(rawDb);
    if (openRc != SQLITE_OK)
        return records;

    sqlite3_stmt* rawStmt = nullptr;
    const std::string sql = std::string("SELECT fileID, domain, relativePath, flags") +
                            (fileRecords ? ", file" : "") + " FROM Files" +
                            (domain.empty() ? "" : " WHERE domain = ?1");
    if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &rawStmt, nullptr) != SQLITE_OK)
        return records;
    std::unique_ptr<sqlite3_stmt, FinalizeStmt> stmt(rawStmt);
    if (!domain.empty() &&
        sqlite3_bind_text(stmt.get(), 1, domain.data(), int(domain.size()), SQLITE_TRANSIENT) != SQLITE_OK)
        return records;

    // A damaged page ends the walk with an error code; the rows before it stay.
    while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
        if (sqlite3_column_type(stmt.get(), 3) != SQLITE_INTEGER ||
            sqlite3_column_int64(stmt.get(), 3) != kFileFlag)
            continue;
        std::string fileId = columnText(stmt.get(), 0);
        if (!isFileId(fileId))
            continue;
        if (records.size() == maxRecords) {
            if (overLimit)
                *overLimit = true;
            break;
        }
        MbdbRecord record;
        record.domain = columnText(stmt.get(), 1);
        record.path = columnText(stmt.get(), 2);
        record.fileName = fileId.substr(0, 2) + "/" + fileId;
        if (fileRecords && sqlite3_column_type(stmt.get(), 4) == SQLITE_BLOB) {
            const auto* blob = static_cast<const char*>(sqlite3_column_blob(stmt.get(), 4));
            const int bytes = sqlite3_column_bytes(stmt.get(), 4);
            if (blob && bytes > 0 && bytes <= InputLimits::kMaxFileRecordBytes) {
                if (auto file = FileRecord::fromArchive(QByteArray(blob, bytes)))
                    fileRecords->emplace(record.fileName, std::move(*file));
            }
        }
        records.push_back(std::move(record));
    }
    return records;
}

} // namespace talwen::backup
