#include "app/cli/TerminalProgress.h"

#include <chrono>
#include <cstdio>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace talwen {
namespace app {
namespace cli {

namespace {

constexpr int kBarWidth = 30;
constexpr int kMinimumBarWidth = 10;
constexpr int kDefaultColumns = 80;
constexpr int64_t kPlainLineIntervalMs = 1000;
// Erases from the cursor to the end of the line, so a shorter redraw leaves no tail.
const char* const kClearToEnd = "\x1b[K";

// The clock part of a "YYYY-MM-DD hh:mm:ss" text, as the progress screen shows it.
std::string clockPart(const std::string& text) { return text.size() > 8 ? text.substr(text.size() - 8) : text; }

std::string label(const std::string& counter, const std::string& text) {
    return counter.empty() ? text : counter + " " + text;
}

int64_t steadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Decodes one UTF-8 sequence at text[i]; a malformed byte reads as itself.
uint32_t nextCodePoint(const std::string& text, size_t& i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    if (i + extra >= text.size()) extra = 0;
    uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            i += 1;
            return lead;
        }
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    i += 1 + extra;
    return code;
}

int codePointWidth(uint32_t c) {
    if (c == 0 || c < 0x20 || (c >= 0x7F && c < 0xA0)) return 0;
    // Combining marks and zero-width characters.
    if ((c >= 0x0300 && c <= 0x036F) || (c >= 0x200B && c <= 0x200F) || (c >= 0x20D0 && c <= 0x20FF) ||
        (c >= 0xFE00 && c <= 0xFE0F) || c == 0xFEFF)
        return 0;
    // East Asian wide and full-width ranges.
    if ((c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) || (c >= 0x3041 && c <= 0x33FF) ||
        (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
        (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
        (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
        (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD))
        return 2;
    return 1;
}

// The longest prefix of text that takes at most `columns` columns.
std::string cutToWidth(const std::string& text, int columns) {
    int used = 0;
    size_t i = 0;
    while (i < text.size()) {
        size_t next = i;
        const int width = codePointWidth(nextCodePoint(text, next));
        if (used + width > columns) break;
        used += width;
        i = next;
    }
    return text.substr(0, i);
}

std::string composeLine(const std::string& name, int percent, int barWidth, const std::string& remaining,
                        const std::string& elapsed) {
    const int filled = percent * barWidth / 100;
    std::string line = name + " [" + std::string(filled, '#') + std::string(barWidth - filled, '-') + "] ";
    const std::string number = std::to_string(percent);
    line += std::string(3 - number.size(), ' ') + number + "%";
    if (!remaining.empty()) line += "  预计剩余时间：" + clockPart(remaining);
    if (!elapsed.empty()) line += "  已使用时间：" + clockPart(elapsed);
    return line;
}

}  // namespace

TerminalProgress::TerminalProgress(std::ostream& out, bool interactive, int columns, std::function<int64_t()> now)
    : out_(out), interactive_(interactive), columns_(columns), now_(now ? std::move(now) : steadyMilliseconds) {}

bool TerminalProgress::standardErrorIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

int TerminalProgress::terminalColumns() {
#if defined(_WIN32)
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
        return info.srWindow.Right - info.srWindow.Left + 1;
    }
    return 0;
#else
    winsize size{};
    if (ioctl(fileno(stderr), TIOCGWINSZ, &size) == 0) return size.ws_col;
    return 0;
#endif
}

int TerminalProgress::displayWidth(const std::string& utf8) {
    int width = 0;
    size_t i = 0;
    while (i < utf8.size()) width += codePointWidth(nextCodePoint(utf8, i));
    return width;
}

std::string TerminalProgress::barLine(const std::string& counter, const std::string& text, int percent,
                                      const std::string& remaining, const std::string& elapsed, int columns) {
    const int clamped = percent < 0 ? 0 : (percent > 100 ? 100 : percent);
    const std::string name = label(counter, text);
    std::string line = composeLine(name, clamped, kBarWidth, remaining, elapsed);
    if (columns <= 0 || displayWidth(line) <= columns) return line;
    // Narrow the bar, then leave out the remaining time, then the elapsed time.
    const std::vector<std::pair<std::string, std::string>> times = {
        {remaining, elapsed}, {std::string(), elapsed}, {std::string(), std::string()}};
    for (const auto& [shownRemaining, shownElapsed] : times) {
        const int withoutBar = displayWidth(composeLine(name, clamped, 0, shownRemaining, shownElapsed));
        const int barWidth = std::min(kBarWidth, columns - withoutBar);
        if (barWidth >= kMinimumBarWidth) return composeLine(name, clamped, barWidth, shownRemaining, shownElapsed);
    }
    return cutToWidth(composeLine(name, clamped, kMinimumBarWidth, "", ""), columns);
}

int TerminalProgress::columns() const {
    if (columns_ > 0) return columns_;
    const int asked = terminalColumns();
    return asked > 0 ? asked : kDefaultColumns;
}

void TerminalProgress::closeLine() {
    if (lineOpen_) out_ << "\n" << std::flush;
    lineOpen_ = false;
}

void TerminalProgress::update(const std::string& counter, const std::string& text, int percent,
                              const std::string& remaining, const std::string& elapsed) {
    std::lock_guard<std::mutex> guard(lock_);
    const std::string name = label(counter, text);
    if (completed_.count(name) != 0) return;
    if (interactive_) {
        // One column short of the width: a line that fills it wraps on some terminals.
        out_ << "\r" << barLine(counter, text, percent, remaining, elapsed, columns() - 1) << kClearToEnd
             << std::flush;
        lineOpen_ = true;
        return;
    }
    const int64_t now = now_();
    const auto last = lastPlainLine_.find(name);
    if (last != lastPlainLine_.end() && now - last->second < kPlainLineIntervalMs) return;
    lastPlainLine_[name] = now;
    const int clamped = percent < 0 ? 0 : (percent > 100 ? 100 : percent);
    out_ << name << " " << clamped << "%";
    if (!elapsed.empty()) out_ << " 已使用时间：" << clockPart(elapsed);
    out_ << "\n" << std::flush;
}

void TerminalProgress::complete(const std::string& counter, const std::string& text, const std::string& elapsed) {
    std::lock_guard<std::mutex> guard(lock_);
    const std::string name = label(counter, text);
    if (!completed_.insert(name).second) return;
    if (interactive_) {
        out_ << "\r" << barLine(counter, text, 100, "", elapsed, columns() - 1) << kClearToEnd << "\n" << std::flush;
        lineOpen_ = false;
        return;
    }
    out_ << name << " 100%";
    if (!elapsed.empty()) out_ << " 已使用时间：" << clockPart(elapsed);
    out_ << "\n" << std::flush;
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
