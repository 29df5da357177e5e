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

std::string label(const std::string& counter, const std::string& text) {
    return counter.empty() ? text : counter + " " + text;
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
    std::string line =
        label(counter, text) + " [" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "] ";
    const std::string number = std::to_string(clamped);
    line += std::string(3 - number.size(), ' ') + number + "%";
    if (!remaining.empty()) line += "  预计剩余时间：" + clockPart(remaining);
    if (!elapsed.empty()) line += "  已使用时间：" + clockPart(elapsed);
    return line;
}

void TerminalProgress::closeLine() {
    if (lineOpen_) out_ << "\n" << std::flush;
    lineOpen_ = false;
}

void TerminalProgress::show(const std::string& counter, const std::string& text, int percent,
                            const std::string& remaining, const std::string& elapsed) {
    if (interactive_) {
        out_ << "\r" << barLine(counter, text, percent, remaining, elapsed) << std::flush;
        lineOpen_ = true;
        if (percent >= 100) closeLine();
        return;
    }
    // Plain lines: one per tenth, the end of the stage included.
    const int tenth = percent / 10 * 10;
    auto last = lastPlainPercent_.find(counter);
    if (last != lastPlainPercent_.end() && tenth <= last->second) return;
    lastPlainPercent_[counter] = tenth;
    out_ << label(counter, text) << " " << tenth << "%";
    if (!elapsed.empty()) out_ << " 已使用时间：" << clockPart(elapsed);
    out_ << "\n" << std::flush;
}

void TerminalProgress::update(const std::string& counter, const std::string& text, int percent,
                              const std::string& remaining, const std::string& elapsed) {
    std::lock_guard<std::mutex> guard(lock_);
    if (completed_.count(counter) != 0) return;
    show(counter, text, percent, remaining, elapsed);
}

void TerminalProgress::complete(const std::string& counter, const std::string& text, const std::string& elapsed) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!completed_.insert(counter).second) return;
    show(counter, text, 100, "", elapsed);
    closeLine();
}

void TerminalProgress::note(const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    closeLine();
    out_ << text << "\n" << std::flush;
}

void TerminalProgress::finishLine() {
    std::lock_guard<std::mutex> guard(lock_);
    closeLine();
}

}  // namespace cli
}  // namespace app
}  // namespace talwen
