#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace talwen {
namespace sqlite {

// A read-only memory map of the first `length` bytes of a file: the platform
// layer under Database. Pages of the map are read from the file on first touch
// and can be given back (release), so a scan of a file of any size keeps only
// the pages it is working on resident. Read by any number of threads; open and
// close belong to one.
class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps `length` bytes (> 0) of the file at path (UTF-8). False, with the
    // reason in `message`, when the file cannot be opened, is shorter than
    // length, or the map fails.
    bool open(const std::string& path, uint64_t length, std::string* message);
    void close();

    const uint8_t* data() const { return data_; }
    uint64_t size() const { return size_; }

    // Drops the resident copies of [offset, offset + length) from this
    // process; the next read of those bytes reads them from the file again.
    // The bytes seen never change. A no-op where the platform cannot do it.
    void release(uint64_t offset, uint64_t length) const;
    // Tells the system the map will be read front to back.
    void adviseSequential() const;

private:
    uint8_t* data_ = nullptr;
    uint64_t size_ = 0;
#ifdef _WIN32
    void* file_ = nullptr;
    void* mapping_ = nullptr;
#endif
};

}  // namespace sqlite
}  // namespace talwen
