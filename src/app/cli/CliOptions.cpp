#include "app/cli/CliOptions.h"

#include <cstdlib>

namespace talwen {
namespace app {
namespace cli {

const char* const kUsage =
    "usage:\n"
    "  wchat-recover backups [--root DIR]...\n"
    "      List the iTunes backups of this computer (or of the given backup roots).\n"
    "  wchat-recover accounts BACKUP_DIR [PASSWORD]\n"
    "      List the messenger accounts of a backup with their owner and sample friends.\n"
    "  wchat-recover scan (BACKUP_DIR [--account NAME] [PASSWORD] | --db MM.sqlite)\n"
    "                     [--store FILE] [--export DIR] [--work DIR] [--threads N] [--utc]\n"
    "                     [--json] [--quiet]\n"
    "      Recover contacts and messages, deleted ones included, from a copy of the\n"
    "      messenger database; print a summary with the source's SHA-256; optionally\n"
    "      keep the recovery store as FILE and export every conversation as HTML below\n"
    "      DIR, with index.html, messages.csv/.jsonl, contacts.csv and report.html/.json.\n"
    "      NAME is the account's user name or its 32-character directory.\n"
    "  wchat-recover export STORE --export DIR [--backup BACKUP_DIR [--account NAME] [PASSWORD]]\n"
    "                       [--utc] [--json] [--quiet]\n"
    "      Export every conversation of a kept recovery store; with the backup, pictures\n"
    "      and voice notes are copied too.\n"
    "  wchat-recover help COMMAND\n"
    "      Explain one command, with examples.\n"
    "  wchat-recover --version\n"
    "PASSWORD, for an encrypted backup: --password-file FILE (its first line) or\n"
    "--password-env NAME (the environment variable NAME); without either it is asked\n"
    "for on the terminal. Decrypted files stay in the working directory and are\n"
    "removed when the command ends.\n"
    "--json prints the summary as one JSON object on standard output; --quiet prints only\n"
    "errors. --utc writes the times of pages in UTC instead of local time (pages name\n"
    "their UTC offset either way). Ctrl-C stops a scan or an export cleanly (exit\n"
    "status 130).\n"
    "A damaged database gives what it still holds: the summary lists what could not\n"
    "be read and the exit status is 3.\n"
    "The backup and the scanned database are never written to. Set WCHAT_RECOVER_DEBUG=1\n"
    "to see the diagnostic log.\n";

std::string versionText() { return std::string("wchat-recover ") + WCR_VERSION; }

std::string commandHelp(const std::string& command) {
    struct Help {
        const char* command;
        const char* text;
    };
    static const Help kHelp[] = {
        {"backups",
         "wchat-recover backups [--root DIR]...\n"
         "  Lists the iTunes backups of this computer, one per line: device name, date of the\n"
         "  last backup, serial number, encryption and directory, separated by tabs.\n"
         "  --root DIR   list the backups below DIR instead (may be given several times)\n"
         "examples:\n"
         "  wchat-recover backups\n"
         "  wchat-recover backups --root /media/usb/MobileSync/Backup\n"},
        {"accounts",
         "wchat-recover accounts BACKUP_DIR [--password-file FILE | --password-env NAME]\n"
         "  Lists the messenger accounts of a backup with their owner and some friends, so\n"
         "  that an account can be recognised and chosen for scan --account.\n"
         "  --password-file FILE, --password-env NAME   the password of an encrypted backup\n"
         "                  (see scan)\n"
         "example:\n"
         "  wchat-recover accounts ~/Backup/00008030-001A2B3C4D5E6F70\n"},
        {"scan",
         "wchat-recover scan (BACKUP_DIR [--account NAME] [--password-file FILE | --password-env NAME]\n"
         "                   | --db MM.sqlite)\n"
         "                   [--store FILE] [--export DIR] [--work DIR] [--threads N] [--utc]\n"
         "                   [--json] [--quiet]\n"
         "  Copies the messenger database of the backup (or the file given with --db) and\n"
         "  recovers its contacts and messages, deleted ones included, from the copy.\n"
         "  --account NAME  the account's user name or 32-character directory (needed when\n"
         "                  the backup holds several accounts)\n"
         "  --password-file FILE  the password of an encrypted backup: the file's first line\n"
         "  --password-env NAME   ... or the value of the environment variable NAME\n"
         "                  Without either, the password is asked for on the terminal (not\n"
         "                  shown as typed). The key derivation takes a few seconds; the\n"
         "                  databases and settings are decrypted into the working directory,\n"
         "                  pictures and voice notes when the export copies them, and all of\n"
         "                  it is removed when the scan ends.\n"
         "  --store FILE    keep the recovery store as FILE (never overwritten)\n"
         "  --export DIR    export every conversation as HTML pages below DIR\n"
         "  --work DIR      make the copy in a new directory inside DIR, removed at the end\n"
         "                  (default: inside the system's temporary directory)\n"
         "  --threads N     carving threads (default: one less than the processor threads)\n"
         "  --utc           times of pages, index and report in UTC instead of local time\n"
         "  --json          the summary as one JSON object on standard output\n"
         "  --quiet         no progress and no summary text, only errors\n"
         "examples:\n"
         "  wchat-recover scan ~/Backup/00008030-001A2B3C4D5E6F70 --export ~/Desktop/chats\n"
         "  wchat-recover scan --db MM.sqlite --store recovered.sqlite --json\n"
         "  wchat-recover scan ~/Backup/00008030-001A2B3C4D5E6F70 --password-file ~/pw.txt --work ~/case1\n"},
        {"export",
         "wchat-recover export STORE --export DIR [--backup BACKUP_DIR [--account NAME]\n"
         "                     [--password-file FILE | --password-env NAME]] [--utc] [--json] [--quiet]\n"
         "  Exports every conversation of a recovery store kept by scan --store. With the\n"
         "  backup, pictures and voice notes of the account are copied too (decrypted with\n"
         "  the password for an encrypted backup, see scan).\n"
         "  --utc           times of pages and index in UTC instead of local time\n"
         "example:\n"
         "  wchat-recover export recovered.sqlite --export ~/Desktop/chats --backup ~/Backup/0000\n"},
    };
    for (const Help& help : kHelp) {
        if (command == help.command) return help.text;
    }
    return std::string();
}

namespace {

bool takeValue(const std::vector<std::string>& arguments, size_t& i, std::string& value, CliOptions& options) {
    if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
        options.error = "option " + arguments[i] + " needs a value";
        return false;
    }
    value = arguments[++i];
    return true;
}

bool parseThreads(const std::string& text, unsigned& threads) {
    if (text.empty() || text.size() > 4) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (value < 1 || value > 256) return false;
    threads = static_cast<unsigned>(value);
    return true;
}

}  // namespace

CliOptions parseCommandLine(const std::vector<std::string>& arguments) {
    CliOptions options;
    if (arguments.empty()) {
        options.error = "no command given";
        return options;
    }
    const std::string& command = arguments[0];
    if (command == "--version") {
        options.command = CliOptions::Command::Version;
        return options;
    }
    if (command == "help" && arguments.size() >= 2) {
        options.command = CliOptions::Command::Help;
        options.helpTopic = arguments[1];
        if (arguments.size() > 2) options.error = "help takes one command";
        else if (commandHelp(options.helpTopic).empty()) options.error = "no such command: " + options.helpTopic;
        return options;
    }
    if (command == "-h" || command == "--help" || command == "help") {
        options.command = CliOptions::Command::Help;
        return options;
    }
    if (command == "backups") {
        options.command = CliOptions::Command::Backups;
    } else if (command == "accounts") {
        options.command = CliOptions::Command::Accounts;
    } else if (command == "scan") {
        options.command = CliOptions::Command::Scan;
    } else if (command == "export") {
        options.command = CliOptions::Command::Export;
    } else {
        options.error = "unknown command: " + command;
        return options;
    }

    std::vector<std::string> positional;
    for (size_t i = 1; i < arguments.size() && options.error.empty(); ++i) {
        const std::string& argument = arguments[i];
        std::string threads;
        if (argument == "--root" && options.command == CliOptions::Command::Backups) {
            std::string root;
            if (takeValue(arguments, i, root, options)) options.roots.push_back(root);
        } else if (argument == "--account") {
            takeValue(arguments, i, options.account, options);
        } else if (argument == "--db") {
            takeValue(arguments, i, options.databaseFile, options);
        } else if (argument == "--store") {
            takeValue(arguments, i, options.storeFile, options);
        } else if (argument == "--export") {
            takeValue(arguments, i, options.exportDir, options);
        } else if (argument == "--backup") {
            takeValue(arguments, i, options.backupDir, options);
        } else if ((argument == "--password-file" || argument == "--password-env") &&
                   options.command != CliOptions::Command::Backups) {
            std::string& value = argument == "--password-file" ? options.passwordFile : options.passwordEnv;
            if (!options.passwordFile.empty() || !options.passwordEnv.empty()) {
                options.error = "give the password once: --password-file FILE or --password-env NAME";
            } else {
                takeValue(arguments, i, value, options);
            }
        } else if (argument == "--password" || argument.rfind("--password=", 0) == 0) {
            options.error = "the password is never taken from the command line, where others can read it: "
                            "use --password-file FILE or --password-env NAME";
        } else if (argument == "--work") {
            takeValue(arguments, i, options.workDir, options);
        } else if (argument == "--threads") {
            if (takeValue(arguments, i, threads, options) && !parseThreads(threads, options.threads)) {
                options.error = "--threads takes a whole number from 1 to 256";
            }
        } else if (argument == "--utc" &&
                   (options.command == CliOptions::Command::Scan || options.command == CliOptions::Command::Export)) {
            options.utc = true;
        } else if ((argument == "--json" || argument == "--quiet") &&
                   (options.command == CliOptions::Command::Scan || options.command == CliOptions::Command::Export)) {
            (argument == "--json" ? options.json : options.quiet) = true;
        } else if (argument == "-h" || argument == "--help") {
            options.command = CliOptions::Command::Help;
            return options;
        } else if (argument.size() > 1 && argument[0] == '-') {
            options.error = "unknown option: " + argument;
        } else {
            positional.push_back(argument);
        }
    }
    if (!options.error.empty()) return options;

    switch (options.command) {
        case CliOptions::Command::Backups:
            if (!positional.empty()) options.error = "backups takes no file argument";
            break;
        case CliOptions::Command::Accounts:
            if (positional.size() != 1) {
                options.error = "accounts needs one backup directory";
            } else {
                options.backupDir = positional[0];
            }
            break;
        case CliOptions::Command::Scan:
            if (positional.size() > 1) {
                options.error = "scan takes one backup directory";
            } else if (positional.size() == 1 && !options.backupDir.empty()) {
                options.error = "give the backup directory once";
            } else {
                if (positional.size() == 1) options.backupDir = positional[0];
                if (options.backupDir.empty() == options.databaseFile.empty()) {
                    options.error = "scan needs either a backup directory or --db FILE";
                } else if (!options.databaseFile.empty() && !options.account.empty()) {
                    options.error = "--account goes with a backup directory, not with --db";
                } else if (!options.databaseFile.empty() &&
                           (!options.passwordFile.empty() || !options.passwordEnv.empty())) {
                    options.error = "a password goes with a backup directory, not with --db";
                }
            }
            break;
        case CliOptions::Command::Export:
            if (positional.size() != 1) {
                options.error = "export needs one recovery store file";
            } else if (options.exportDir.empty()) {
                options.error = "export needs --export DIR";
            } else {
                options.storeFile = positional[0];
            }
            break;
        default:
            break;
    }
    return options;
}

}  // namespace cli
}  // namespace app
}  // namespace talwen
