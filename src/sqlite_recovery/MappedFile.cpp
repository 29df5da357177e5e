#include "sqlite_recovery/MappedFile.h"

#include <limits>

#ifdef _WIN32
#ifndef NOMINMAX  // the MinGW headers define it already
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace talwen {
namespace sqlite {

MappedFile::~MappedFile() { close(); }

#ifdef _WIN32

bool MappedFile::open(const std::string& path, uint64_t length, std::string* message) {
    close();
    const int wide = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
    std::wstring widePath(wide > 0 ? size_t(wide) : 1, L'\0');
    if (wide > 0) MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, &widePath[0], wide);
    HANDLE file = CreateFileW(widePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *message = "open fail";
        return false;
    }
    LARGE_INTEGER fileSize;
    if (length == 0 || !GetFileSizeEx(file, &fileSize) || uint64_t(fileSize.QuadPart) < length ||
        length > std::numeric_limits<size_t>::max()) {
        CloseHandle(file);
        *message = "file shorter than its pages";
        return false;
    }
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, static_cast<size_t>(length)) : nullptr;
    if (view == nullptr) {
        if (mapping) CloseHandle(mapping);
        CloseHandle(file);
        *message = "map fail";
        return false;
    }
    file_ = file;
    mapping_ = mapping;
    data_ = static_cast<uint8_t*>(view);
    size_ = length;
    return true;
}

void MappedFile::close() {
    if (data_) UnmapViewOfFile(data_);
    if (mapping_) CloseHandle(mapping_);
    if (file_) CloseHandle(file_);
    data_ = nullptr;
    mapping_ = nullptr;
    file_ = nullptr;
    size_ = 0;
}

// The system trims a process's mapped file pages itself when memory runs short.
void MappedFile::release(uint64_t, uint64_t) const {}
void MappedFile::adviseSequential() const {}

#else

bool MappedFile::open(const std::string& path, uint64_t length, std::string* message) {
    close();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *message = "open fail";
        return false;
    }
    struct stat info {};
    if (length == 0 || ::fstat(fd, &info) != 0 || info.st_size < 0 || uint64_t(info.st_size) < length ||
        length > std::numeric_limits<size_t>::max()) {
        ::close(fd);
        *message = "file shorter than its pages";
        return false;
    }
    void* map = ::mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_SHARED, fd, 0);
    // The map keeps the file; the descriptor is not needed any more.
    ::close(fd);
    if (map == MAP_FAILED) {
        *message = "map fail";
        return false;
    }
    data_ = static_cast<uint8_t*>(map);
    size_ = length;
    return true;
}

void MappedFile::close() {
    if (data_) ::munmap(data_, static_cast<size_t>(size_));
    data_ = nullptr;
    size_ = 0;
}

void MappedFile::release(uint64_t offset, uint64_t length) const {
    if (data_ == nullptr || offset >= size_) return;
    if (length > size_ - offset) length = size_ - offset;
    static const uint64_t systemPage = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    // Whole system pages inside the range only: a neighbour's page is left alone.
    const uint64_t begin = (offset + systemPage - 1) / systemPage * systemPage;
    const uint64_t end = (offset + length) / systemPage * systemPage;
    if (end <= begin) return;
    // A shared read-only file map: dropped pages are read again from the file.
    ::madvise(data_ + begin, static_cast<size_t>(end - begin), MADV_DONTNEED);
}

void MappedFile::adviseSequential() const {
    if (data_) ::madvise(data_, static_cast<size_t>(size_), MADV_SEQUENTIAL);
}

#endif

}  // namespace sqlite
}  // namespace talwen
