#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace talwen::backup {

// One file entry of a backup manifest. Entries read from Manifest.db carry only
// fileName, domain and path; the remaining fields stay empty or zero.
struct MbdbRecord {
    // Location of the file relative to the backup directory: the 40-digit SHA-1 name
    // for Manifest.mbdb backups, "<first two digits>/<fileID>" for Manifest.db backups.
    std::string fileName;
    std::string domain;
    std::string path;
    std::string linkTarget;
    std::string dataHash;
    std::string encryptionKey;
    std::string statText;
    std::int32_t protectionClass = 0;
    std::int32_t propertyCount = 0;
    std::vector<std::pair<std::string, std::string>> properties;
};

} // namespace talwen::backup
