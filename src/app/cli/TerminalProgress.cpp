#include "app/cli/TerminalProgress.h"

#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace talwen {
namespace app {
namespace cli {

namespace {
constexpr int kBarWidth = 30;

// The clock part of a "YYYY-MM-DD hh:mm:ss" text, as the progress screen shows it.
std::string clockPart(const std::string& text) {
    return text.size() > 8 ? text.substr(text.size() - 8) : text;
}
}  // namespace

TerminalProgress::TerminalProgress(std::ostream& out, bool interactive)
    : out_(out), interactive_(interactive) {}

bool TerminalProgress::standardErrorIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

std::string TerminalProgress::barLine(const std::string& counter, const std::string& text, int percent,
                                      const std::string& remaining, const std::string& elapsed) {
    const int clamped = percent < 0 ? 0 : (percent > 100 ? 100 : percent);
    const int filled = clamped * kBarWidth / 100;
    std::string line = counter + " " + text + " [" + std::string(filled, '#') +
                       std::string(kBarWidth - filled, '-') + "] ";
    const std::string number = std::to_string(clamped);
    line += std::string(3 - number.size(), ' ') + number + "%";
    if (!remaining.empty()) line += "  预计剩余时间：" + clockPart(remaining);
    if (!elapsed.empty()) line += "  已使用时间：" + clockPart(elapsed);
    return line;
}

void TerminalProgress::stage(const std::string& counter, const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    if (lineOpen_) out_ << "\n";
    lineOpen_ = false;
    counter_ = counter;
    text_ = text;
    lastPlainPercent_ = -1;
}

void TerminalProgress::update(int percent, const std::string& remaining, const std::string& elapsed) {
    std::lock_guard<std::mutex> guard(lock_);
    if (interactive_) {
        out_ << "\r" << barLine(counter_, text_, percent, remaining, elapsed) << std::flush;
        lineOpen_ = true;
        if (percent >= 100) {
            out_ << "\n";
            lineOpen_ = false;
        }
        return;
    }
    // Plain lines: one per tenth, and always the end of the stage.
    const int tenth = percent / 10 * 10;
    if (tenth <= lastPlainPercent_) return;
    lastPlainPercent_ = tenth;
    out_ << counter_ << " " << text_ << " " << tenth << "%";
    if (!elapsed.empty()) out_ << " 已使用时间：" << clockPart(elapsed);
    out_ << "\n" << std::flush;
}

void TerminalProgress::note(const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    if (lineOpen_) out_ << "\n";
    lineOpen_ = false;
    out_ << text << "\n" << std::flush;
}

void TerminalProgress::finishLine() {
    std::lock_guard<std::mutex> guard(lock_);
    if (lineOpen_) out_ << "\n" << std::flush;
    lineOpen_ = false;
}

}  // namespace cli
}  // namespace app
}  // namespace talwen
