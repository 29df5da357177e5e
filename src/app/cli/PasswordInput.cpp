#include "app/cli/PasswordInput.h"

#include <QFile>

#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#include <conio.h>
#include <io.h>
#include <windows.h>
#else
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace talwen {
namespace app {
namespace cli {

namespace {

using common::Status;

// Longer than any password; a file that is not a password file is not read whole.
constexpr qint64 kMaxLineBytes = 4096;

void wipe(std::string* text) {
    volatile char* bytes = text->empty() ? nullptr : &(*text)[0];
    for (size_t i = 0; i < text->size(); ++i) bytes[i] = 0;
    text->clear();
}

}  // namespace

bool firstLine(const std::string& path, std::string* line) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) return false;
    QByteArray bytes = file.read(kMaxLineBytes);
    const int end = bytes.indexOf('\n');
    if (end >= 0) bytes.truncate(end);
    if (bytes.endsWith('\r')) bytes.chop(1);
    line->assign(bytes.constData(), static_cast<size_t>(bytes.size()));
    bytes.fill('\0');
    return true;
}

Status readBackupPassword(const PasswordSource& source, std::ostream& err, const std::atomic<bool>* interrupted,
                          std::string* password) {
    std::string value;
    if (!source.file.empty()) {
        if (!firstLine(source.file, &value)) return Status::invalidInput("cannot read the password file: " + source.file);
        if (value.empty()) return Status::invalidInput("the password file's first line is empty: " + source.file);
    } else if (!source.environment.empty()) {
        const char* text = std::getenv(source.environment.c_str());
        if (text == nullptr || *text == '\0') {
            return Status::invalidInput("the environment variable " + source.environment + " is not set");
        }
        value = text;
    } else {
        err.flush();
        const bool read = readTerminalSecret("backup password: ", interrupted, &value);
        if (interrupted != nullptr && interrupted->load()) {
            wipe(&value);
            return Status::cancelled("stopped by the user");
        }
        if (!read) {
            return Status::invalidInput(
                "the backup is encrypted: give its password with --password-file FILE or --password-env NAME");
        }
        if (value.empty()) return Status::invalidInput("no password was typed");
    }
    *password = value;
    wipe(&value);
    return Status::ok();
}

#if defined(_WIN32)

bool readTerminalSecret(const char* prompt, const std::atomic<bool>* interrupted, std::string* line) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!_isatty(_fileno(stdin)) || !GetConsoleMode(input, &mode)) return false;
    SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    bool done = false;
    while (!done && (interrupted == nullptr || !interrupted->load())) {
        if (WaitForSingleObject(input, 100) != WAIT_OBJECT_0) continue;
        const int c = _getwch();
        if (c == '\r' || c == '\n') done = true;
        else if (c == '\b') { if (!line->empty()) line->pop_back(); }
        else line->push_back(static_cast<char>(c));
    }
    SetConsoleMode(input, mode);
    std::fputs("\n", stderr);
    return done;
}

#else

bool readTerminalSecret(const char* prompt, const std::atomic<bool>* interrupted, std::string* line) {
    const int fd = STDIN_FILENO;
    termios saved{};
    if (!isatty(fd) || tcgetattr(fd, &saved) != 0) return false;
    // Echo goes off before the prompt shows: whatever is typed after it stays unseen.
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ICANON | ISIG;  // Ctrl-C still signals; the line is read whole
    if (tcsetattr(fd, TCSANOW, &quiet) != 0) return false;
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    // Polled, so that a Ctrl-C (which the handler only notes) ends the wait too.
    bool done = false;
    bool failed = false;
    while (!done && !failed && (interrupted == nullptr || !interrupted->load())) {
        pollfd waiting{fd, POLLIN, 0};
        const int ready = poll(&waiting, 1, 100);
        if (ready <= 0) continue;
        char c = 0;
        const ssize_t n = read(fd, &c, 1);
        if (n <= 0) failed = n == 0;  // end of input: nothing more will come
        else if (c == '\n') done = true;
        else line->push_back(c);
    }
    tcsetattr(fd, TCSANOW, &saved);
    std::fputs("\n", stderr);
    return done;
}

#endif

}  // namespace cli
}  // namespace app
}  // namespace talwen
