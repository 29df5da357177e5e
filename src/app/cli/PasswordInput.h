#pragma once

#include <atomic>
#include <ostream>
#include <string>

#include "common/Status.h"

namespace talwen {
namespace app {
namespace cli {

// The password of an encrypted backup, from one of three places: the first line
// of a file (--password-file), an environment variable (--password-env), or typed
// on the terminal without echo. It is never taken from the command line itself,
// where every user of the computer could read it.
struct PasswordSource {
    std::string file;         // --password-file FILE
    std::string environment;  // --password-env NAME
};

// Reads the password into *password. Without a file or a variable it is asked for
// on standard error and read from standard input when that is a terminal;
// otherwise the message says how to give it. A Ctrl-C while asking (interrupted
// turns true) ends with a Cancelled status.
common::Status readBackupPassword(const PasswordSource& source, std::ostream& err,
                                  const std::atomic<bool>* interrupted, std::string* password);

// The first line of a file's text, without its line break; the file is read no
// further than that.
bool firstLine(const std::string& path, std::string* line);

// Platform layer: asks for a line on the terminal with echo off and restores the
// terminal afterwards. False when standard input is not a terminal, or when
// interrupted turned true while waiting.
bool readTerminalSecret(const char* prompt, const std::atomic<bool>* interrupted, std::string* line);

}  // namespace cli
}  // namespace app
}  // namespace talwen
