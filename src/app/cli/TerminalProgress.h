#pragma once

#include <mutex>
#include <ostream>
#include <string>

namespace talwen {
namespace app {
namespace cli {

// Shows the progress of the carving stages on standard error: a bar redrawn in
// place on a terminal, plain lines (every tenth percent) otherwise. Called from the
// watcher threads; every call is serialised.
class TerminalProgress {
public:
    TerminalProgress(std::ostream& out, bool interactive);

    // A stage has started reporting, e.g. ("(1/3)", "正在扫描好友...").
    void stage(const std::string& counter, const std::string& text);
    // remaining and elapsed are "YYYY-MM-DD hh:mm:ss" texts; their clock part is shown.
    void update(int percent, const std::string& remaining, const std::string& elapsed);
    // A line of its own, e.g. the start of a stage without a progress record.
    void note(const std::string& text);
    // Ends the current bar's line (a no-op when nothing is open).
    void finishLine();

    // The bar line without the carriage return, e.g. for tests.
    static std::string barLine(const std::string& counter, const std::string& text, int percent,
                               const std::string& remaining, const std::string& elapsed);

    // True when standard error is a terminal.
    static bool standardErrorIsTerminal();

private:
    std::ostream& out_;
    bool interactive_;
    std::mutex lock_;
    std::string counter_;
    std::string text_;
    int lastPlainPercent_ = -1;
    bool lineOpen_ = false;
};

}  // namespace cli
}  // namespace app
}  // namespace talwen
