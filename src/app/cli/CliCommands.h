#pragma once

#include <atomic>
#include <ostream>
#include <string>
#include <string>
#include <vector>

namespace talwen {
namespace app {
namespace cli {

// Exit codes of the command-line tool.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // bad input or a failed recovery, with a one-line message
constexpr int kExitUsage = 2;    // wrong arguments
constexpr int kExitPartial = 3;  // a damaged source: what it held was recovered, the summary says what was not
constexpr int kExitInterrupted = 130;  // stopped by Ctrl-C or a termination signal

// A text from a backup or a database as the terminal must show it: control
// characters (C0, DEL, C1) and the bidirectional overrides and isolates are written
// as \xNN or \uNNNN escapes, so no name can move the cursor, retitle the terminal
// or disguise what follows it. Everything else, Chinese included, is kept.
std::string forTerminal(const std::string& utf8);

// Runs one command line (without the program name). Results go to `out`, messages
// and progress to `err`; `interactive` draws progress bars instead of plain lines.
// When `interrupted` turns true (a signal handler sets it), a running scan or
// export stops cleanly, removes its temporary copy and returns kExitInterrupted.
int runCommandLine(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                   bool interactive, const std::atomic<bool>* interrupted = nullptr);

}  // namespace cli
}  // namespace app
}  // namespace talwen
