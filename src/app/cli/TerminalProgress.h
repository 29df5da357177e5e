#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <set>
#include <string>

namespace talwen {
namespace app {
namespace cli {

// Shows the progress of long stages on standard error. On a terminal each stage is
// one bar line redrawn in place (cut to the terminal's width, the rest of the line
// cleared) and closed by one final line; otherwise plain lines without control
// characters, at most one per second per stage, and the final one. A stage is
// named by its counter and text, e.g. "(1/3)" and "正在扫描好友...". Called from
// watcher threads and the worker; every call is serialised, and a stage that was
// completed ignores later, older reports.
class TerminalProgress {
public:
    // columns 0: ask the terminal at every redraw (80 when it does not say).
    // now: milliseconds of a steady clock, replaceable for tests.
    TerminalProgress(std::ostream& out, bool interactive, int columns = 0,
                     std::function<int64_t()> now = nullptr);

    // remaining and elapsed are "YYYY-MM-DD hh:mm:ss" texts (or empty); their clock
    // part is shown.
    void update(const std::string& counter, const std::string& text, int percent, const std::string& remaining,
                const std::string& elapsed);
    // Shows the stage at 100% once, on a line of its own, and ignores any later
    // report of it.
    void complete(const std::string& counter, const std::string& text, const std::string& elapsed);
    // A line of its own, e.g. a result of a stage.
    void note(const std::string& text);
    // Ends an open bar line (a no-op when nothing is open).
    void finishLine();

    // The bar line, at most `columns` display columns wide when columns > 0: the
    // bar narrows first, then the times go, then the text is cut.
    static std::string barLine(const std::string& counter, const std::string& text, int percent,
                               const std::string& remaining, const std::string& elapsed, int columns = 0);
    // Terminal columns a UTF-8 text takes: two for East Asian wide and full-width
    // characters, none for combining marks and controls, one otherwise.
    static int displayWidth(const std::string& utf8);

    // True when standard error is a terminal.
    static bool standardErrorIsTerminal();
    // The width of the terminal on standard error, or 0 when it does not say.
    static int terminalColumns();

private:
    void closeLine();
    int columns() const;

    std::ostream& out_;
    bool interactive_;
    int columns_;
    std::function<int64_t()> now_;
    std::mutex lock_;
    std::map<std::string, int64_t> lastPlainLine_;  // stage -> time of its last plain line
    std::set<std::string> completed_;
    bool lineOpen_ = false;
};

}  // namespace cli
}  // namespace app
}  // namespace talwen
