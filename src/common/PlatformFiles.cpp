#include "common/PlatformFiles.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#else
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#endif

namespace talwen {
namespace common {

namespace {

#ifdef _WIN32
const char* const kSeparators = "/\\";
#else
const char* const kSeparators = "/";
#endif

void setFailure(std::string* failure, const std::string& text) {
    if (failure != nullptr) *failure = text;
}

}  // namespace

#ifdef _WIN32

namespace {

std::wstring widePath(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                                           nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), &wide[0], length);
    return wide;
}

// The system's text for an error code, in UTF-8 and without its line break.
std::string systemText(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (length > 0 && buffer != nullptr) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
        if (size > 0) {
            text.resize(static_cast<size_t>(size));
            WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), &text[0], size, nullptr, nullptr);
        }
    }
    if (buffer != nullptr) LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
        text.pop_back();
    }
    return text.empty() ? "system error " + std::to_string(code) : text;
}

bool nameTaken(DWORD code) { return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS; }

}  // namespace

std::string createTemporaryFileNextTo(const std::string& path, const std::string& tag, std::string* failure) {
    const size_t slash = path.find_last_of(kSeparators);
    const std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static std::atomic<uint64_t> counter{0};
    std::mt19937_64 random(std::random_device{}() ^
                           static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                           (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^ ++counter);
    DWORD code = ERROR_FILE_EXISTS;
    // A taken name is drawn again; any other failure is final.
    for (int attempt = 0; attempt < 100 && nameTaken(code); ++attempt) {
        std::string name = directory + "." + base + tag;
        for (int i = 0; i < 6; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
        const std::wstring wide = widePath(name);
        if (wide.empty()) {
            setFailure(failure, "the path is not valid UTF-8");
            return std::string();
        }
        HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            return name;
        }
        code = GetLastError();
    }
    setFailure(failure, systemText(code));
    return std::string();
}

PublishResult publishFile(const std::string& temporary, const std::string& path, std::string* failure) {
    const std::wstring from = widePath(temporary);
    const std::wstring to = widePath(path);
    if (from.empty() || to.empty()) {
        setFailure(failure, "the path is not valid UTF-8");
        return PublishResult::Failed;
    }
    // Without MOVEFILE_REPLACE_EXISTING the move fails when the name is taken.
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return PublishResult::Published;
    const DWORD code = GetLastError();
    if (nameTaken(code)) return PublishResult::AlreadyExists;
    setFailure(failure, systemText(code));
    return PublishResult::Failed;
}

bool removeFileIfPresent(const std::string& path, std::string* failure) {
    const std::wstring wide = widePath(path);
    if (wide.empty()) {
        setFailure(failure, "the path is not valid UTF-8");
        return false;
    }
    if (DeleteFileW(wide.c_str())) return true;
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return true;
    setFailure(failure, systemText(code));
    return false;
}

#else

namespace {

// Anything under the name, a dangling link included.
bool nameTaken(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace

std::string createTemporaryFileNextTo(const std::string& path, const std::string& tag, std::string* failure) {
    const size_t slash = path.find_last_of(kSeparators);
    const std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string name = directory + "." + base + tag + "XXXXXX";
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        setFailure(failure, std::strerror(errno));
        return std::string();
    }
    ::close(fd);
    return name;
}

PublishResult publishFile(const std::string& temporary, const std::string& path, std::string* failure) {
    // link() fails with EEXIST whatever has the name, even a file created after any check.
    if (::link(temporary.c_str(), path.c_str()) == 0) {
        ::unlink(temporary.c_str());
        return PublishResult::Published;
    }
    int code = errno;
    // A file system without hard links (FAT): renamed after one more look.
    const bool noLinks = code == EPERM || code == EOPNOTSUPP;
    if (noLinks && !nameTaken(path)) {
        if (::rename(temporary.c_str(), path.c_str()) == 0) return PublishResult::Published;
        code = errno;
    }
    if (code == EEXIST || (noLinks && nameTaken(path))) return PublishResult::AlreadyExists;
    setFailure(failure, std::strerror(code));
    return PublishResult::Failed;
}

bool removeFileIfPresent(const std::string& path, std::string* failure) {
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
    setFailure(failure, std::strerror(errno));
    return false;
}

#endif

}  // namespace common
}  // namespace talwen
