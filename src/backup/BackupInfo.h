#pragma once

#include <string>

namespace talwen::backup {

// One local backup as the backup list shows it. Texts are UTF-8.
struct BackupInfo {
    std::string path;           // the backup directory as listed or chosen
    std::string deviceName;     // "Device Name" of Info.plist
    std::string lastBackupDate; // "Last Backup Date", text unchanged
    std::string serialNumber;   // "Serial Number"
    // Manifest.plist says IsEncrypted: the backup's files cannot be read without
    // the backup password.
    bool encrypted = false;
};

} // namespace talwen::backup
