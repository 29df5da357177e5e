#pragma once

#include <atomic>
#include <ostream>
#include <string>
#include <vector>

namespace talwen {
namespace app {
namespace cli {

// Exit codes of the command-line tool.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // bad input or a failed recovery, with a one-line message
constexpr int kExitUsage = 2;    // wrong arguments
constexpr int kExitInterrupted = 130;  // stopped by Ctrl-C or a termination signal

// Runs one command line (without the program name). Results go to `out`, messages
// and progress to `err`; `interactive` draws progress bars instead of plain lines.
// When `interrupted` turns true (a signal handler sets it), a running scan or
// export stops cleanly, removes its temporary copy and returns kExitInterrupted.
int runCommandLine(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                   bool interactive, const std::atomic<bool>* interrupted = nullptr);

}  // namespace cli
}  // namespace app
}  // namespace talwen
