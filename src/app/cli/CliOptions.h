#pragma once

#include <string>
#include <vector>

namespace talwen {
namespace app {
namespace cli {

// What the command line asked for. Parsing never touches the file system.
struct CliOptions {
    enum class Command { None, Help, Version, Backups, Accounts, Scan, Export };

    Command command = Command::None;
    std::vector<std::string> roots;  // backups: roots to list instead of the platform's
    std::string backupDir;           // accounts, scan, export: the backup directory
    std::string account;             // scan, export: user name or 32-character account directory
    std::string databaseFile;        // scan: an MM.sqlite file instead of a backup
    std::string storeFile;           // scan: keep the recovery store here; export: read it
    std::string exportDir;           // scan, export: export every conversation below this directory
    std::string workDir;             // scan: working directory (default: a temporary one)
    unsigned threads = 0;            // scan: seek threads (0: one less than the hardware threads)
    bool json = false;               // scan, export: the summary as one JSON object on standard output
    bool quiet = false;              // scan, export: no progress and no summary text, only errors
    bool utc = false;                // scan, export: pages, index and report in UTC instead of local time
    std::string passwordFile;        // accounts, scan, export: an encrypted backup's password, first line
    std::string passwordEnv;         // accounts, scan, export: ... or the variable that holds it
    std::string helpTopic;           // help COMMAND: the command to explain
    std::string error;               // set when the arguments are wrong
};

CliOptions parseCommandLine(const std::vector<std::string>& arguments);

// The usage text printed for --help and after an argument error.
extern const char* const kUsage;
// "help COMMAND": the command's usage with examples; empty for an unknown command.
std::string commandHelp(const std::string& command);
// "wchat-recover " + the version.
std::string versionText();

}  // namespace cli
}  // namespace app
}  // namespace talwen
