#pragma once

#include <functional>
#include <string>
#include <vector>

namespace talwen::backup {

// Where iTunes and Finder keep device backups on this computer.
//
// Roots, in the order they are scanned:
//   every platform: "AppData" + sep + "Apple Computer" + sep + "MobileSync" + sep + "Backup"
//                   (the desktop iTunes on Windows; on other systems only when the variable is set)
//   Windows:        "USERPROFILE" + "\Apple\MobileSync\Backup" (iTunes from the Microsoft Store)
//   macOS:          "HOME" + "/Library/Application Support/MobileSync/Backup"
// Paths are joined with the platform's separator: "\" on Windows, "/" elsewhere.
class BackupRoots {
public:
    enum class Platform { Windows, MacOS, Other };

    // Reads one environment variable; empty when unset.
    using Environment = std::function<std::string(const char* name)>;

    static Platform currentPlatform();
    static char separator(Platform platform);
    static char separator();

    // The roots the platform's rules name, whether or not they exist, without
    // duplicates, in scan order. A rule whose variable is empty names no root.
    static std::vector<std::string> candidates(Platform platform, const Environment& environment);

    // The candidates of this process's platform and environment that exist as
    // directories; two candidates naming the same directory are kept once.
    static std::vector<std::string> existingRoots();
    static std::vector<std::string> existingRoots(const std::vector<std::string>& candidates);

    static std::string processEnvironment(const char* name);
};

} // namespace talwen::backup
