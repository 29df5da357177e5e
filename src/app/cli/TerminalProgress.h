#pragma once

#include <map>
#include <mutex>
#include <ostream>
#include <set>
#include <string>

namespace talwen {
namespace app {
namespace cli {

// Shows the progress of long stages on standard error: a bar redrawn in place on a
// terminal, plain lines (every tenth percent) otherwise. A stage is named by its
// counter, e.g. "(1/3)". Called from watcher threads and the worker; every call is
// serialised, and a stage that was completed ignores later, older reports.
class TerminalProgress {
public:
    TerminalProgress(std::ostream& out, bool interactive);

    // remaining and elapsed are "YYYY-MM-DD hh:mm:ss" texts (or empty); their clock
    // part is shown.
    void update(const std::string& counter, const std::string& text, int percent, const std::string& remaining,
                const std::string& elapsed);
    // Shows the stage at 100% once and ignores any later report of it.
    void complete(const std::string& counter, const std::string& text, const std::string& elapsed);
    // A line of its own, e.g. the start of a stage without a progress record.
    void note(const std::string& text);
    // Ends an open bar line (a no-op when nothing is open).
    void finishLine();

    // The bar line without the carriage return.
    static std::string barLine(const std::string& counter, const std::string& text, int percent,
                               const std::string& remaining, const std::string& elapsed);

    // True when standard error is a terminal.
    static bool standardErrorIsTerminal();

private:
    void show(const std::string& counter, const std::string& text, int percent, const std::string& remaining,
              const std::string& elapsed);
    void closeLine();

    std::ostream& out_;
    bool interactive_;
    std::mutex lock_;
    std::map<std::string, int> lastPlainPercent_;
    std::set<std::string> completed_;
    bool lineOpen_ = false;
};

}  // namespace cli
}  // namespace app
}  // namespace talwen
