#pragma once

#include "backup/FileRecord.h"
#include "backup/MbdbRecord.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace talwen::backup {

// Reads the file list of a Manifest.db, the SQLite manifest that backups of
// iOS 10 and later keep instead of Manifest.mbdb: table Files with fileID, domain,
// relativePath, flags (1 file, 2 directory, 4 link) and file.
//
// The database is opened read-only as immutable, so SQLite neither writes, locks
// nor creates journal files beside it. Only plain files are returned, each with
// fileName "<first two digits of fileID>/<fileID>", where the backup stores it.
// Rows whose fileID is not 40 hexadecimal digits are dropped, so no name taken
// from the database can point outside the backup directory. A damaged database
// gives the rows read before the damage; one that cannot be opened gives none.
class ManifestDb {
public:
    static std::vector<MbdbRecord> readFiles(const std::string& manifestPath);
    // The files of one domain, at most maxRecords of them; *overLimit (when
    // given) tells whether the read stopped because there were more.
    static std::vector<MbdbRecord> readFiles(const std::string& manifestPath, const std::string& domain,
                                             std::size_t maxRecords, bool* overLimit);

    // The records of an encrypted backup's decrypted Manifest.db, keyed by the
    // files' fileName, for the files of one domain (limits as above). A row whose
    // "file" column is not a file record is left out.
    static std::map<std::string, FileRecord> readFileRecords(const std::string& manifestPath,
                                                             const std::string& domain, std::size_t maxRecords,
                                                             bool* overLimit);

    static bool isFileId(const std::string& fileId);

private:
    static std::vector<MbdbRecord> readRows(const std::string& manifestPath, const std::string& domain,
                                            std::size_t maxRecords, bool* overLimit,
                                            std::map<std::string, FileRecord>* fileRecords);
};

} // namespace talwen::backup
