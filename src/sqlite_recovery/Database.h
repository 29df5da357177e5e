#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "common/ErrorInfo.h"
#include "sqlite_recovery/MappedFile.h"
#include "sqlite_recovery/SqliteFacility.h"

namespace talwen {
namespace sqlite {

// An SQLite database file read without the SQLite library: validates the 100-byte
// header strictly and hands out raw pages. readAllPages maps the whole file
// once (read-only); the returned bytes are then only read, by any number of
// threads, and only the pages being read stay resident, as long as readers give
// back the ranges they are done with (releasePages). open, close, readPages and
// readAllPages belong to one thread.
class Database {
public:
    Database() = default;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Opens the file and validates its header. On failure the fields keep their
    // previous values (the file may stay open; do not use the object further).
    void open(const std::string& path, common::ErrorInfo* error);
    // Lets open accept UTF-16 databases (text encodings 2 and 3), which it
    // otherwise refuses; getTextEncoding then tells which one. Their text must be
    // converted by whoever reads it (CarveOptions::textEncoding).
    void setAcceptUtf16(bool accept) { acceptUtf16_ = accept; }
    // Closes the file and forgets its name; cached data stays.
    void close();

    // Copies pages pageNumberStart .. pageNumberStart + readPageNum - 1 (from 1) into
    // buffer, which holds readPageNum x pageSize bytes.
    void readPages(uint32_t pageNumberStart, uint32_t readPageNum, uint8_t* buffer,
                   common::ErrorInfo* error);
    // The whole database (pageSize x pages bytes), mapped on first call and kept
    // while any returned pointer lives. Fails with "Database read fail!" when the
    // file is shorter than its header claims or cannot be mapped. Empty pointer
    // on failure.
    ByteArray readAllPages(common::ErrorInfo* error);
    // A copy cut short keeps its first pages: when the file is shorter than the
    // header's page count, the count is lowered to the pages the file holds whole,
    // so they can still be read. Returns the header's count. Call after open.
    uint32_t keepWholePages();
    // Gives back the resident memory of pages firstPage .. firstPage + count - 1
    // of the map (any thread); their bytes stay readable and unchanged.
    void releasePages(uint32_t firstPage, uint32_t count) const;
    // The same for every page.
    void releaseAllPages() const { releasePages(1, pages_); }

    const std::string& getFileName() const { return fileName_; }
    uint32_t getPageSize() const { return pageSize_; }
    uint16_t getReservedSpace() const { return reservedSpace_; }
    // Usable bytes of every page: page size - reserved space.
    uint32_t getUsableSize() const { return pageSize_ - reservedSpace_; }
    uint32_t getPages() const { return pages_; }
    int32_t getTextEncoding() const { return textEncoding_; }
    bool isOpen() const { return file_.is_open(); }

private:
    std::string fileName_;
    uint32_t pageSize_ = 0;
    uint16_t reservedSpace_ = 0;
    uint32_t pages_ = 0;
    int32_t textEncoding_ = 0;
    bool acceptUtf16_ = false;
    std::ifstream file_;
    std::shared_ptr<MappedFile> map_;
    ByteArray data_;
};

}  // namespace sqlite
}  // namespace talwen
