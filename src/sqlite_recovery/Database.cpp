#include "sqlite_recovery/Database.h"

#include <cstring>
#include <filesystem>
#include <limits>
#include <new>

#define WCR_UNIT "sqlite_recovery/Database"

namespace talwen {
namespace sqlite {

using common::ErrorInfo;

namespace {

constexpr size_t kHeaderSize = 100;
const char kMagic[16] = "SQLite format 3";  // with its terminating zero byte

std::string invalid(const std::string& prefix, int64_t value, const char* suffix = "] invalid!") {
    return "SqliteDB: " + prefix + "[" + std::to_string(value) + suffix;
}

bool validPageSize(uint32_t raw) { return raw == 1 || (raw >= 512 && raw % 512 == 0); }

}  // namespace

void Database::open(const std::string& path, ErrorInfo* error) {
    error->clear();
    close();
    file_.clear();
    file_.open(std::filesystem::u8path(path), std::ios::in | std::ios::binary);
    if (!file_.is_open()) {
        WCR_SET_ERROR(error, -1, "SqliteDB: open[" + path + "] fail!", "open");
        return;
    }

    // A file shorter than the header reads as zeros past its end; such a header
    // fails on the magic number or, at the latest, on the page size.
    uint8_t header[kHeaderSize] = {};
    file_.read(reinterpret_cast<char*>(header), kHeaderSize);
    const std::streamsize got = file_.gcount();
    file_.clear();
    if (got < static_cast<std::streamsize>(sizeof kMagic) ||
        std::memcmp(header, kMagic, sizeof kMagic) != 0) {
        WCR_SET_ERROR(error, -1, "SqliteDB: magic number invalid!", "open");
        return;
    }

    const uint32_t rawPageSize = static_cast<uint32_t>(readBigEndian(header + 16, 2));
    const int32_t writeVersion = header[18];
    const int32_t readVersion = header[19];
    const int32_t reserved = header[20];
    const int32_t maxFraction = header[21];
    const int32_t minFraction = header[22];
    const int32_t leafFraction = header[23];
    const uint32_t pageCount = static_cast<uint32_t>(readBigEndian(header + 28, 4));
    const uint32_t firstTrunk = static_cast<uint32_t>(readBigEndian(header + 32, 4));
    const uint32_t freelistPages = static_cast<uint32_t>(readBigEndian(header + 36, 4));
    const uint32_t schemaFormat = static_cast<uint32_t>(readBigEndian(header + 44, 4));
    const uint32_t largestRoot = static_cast<uint32_t>(readBigEndian(header + 52, 4));
    const uint32_t encoding = static_cast<uint32_t>(readBigEndian(header + 56, 4));

    std::string message;
    if (!validPageSize(rawPageSize)) {
        message = invalid("page size", rawPageSize);
    } else if (writeVersion != 1 && writeVersion != 2) {
        message = invalid("File format write version", writeVersion);
    } else if (readVersion != 1 && readVersion != 2) {
        message = invalid("File format read version", readVersion);
    } else if (reserved > 32) {
        message = invalid("Reserved space", reserved);
    } else if (maxFraction != 64) {
        message = invalid("Maximum embedded payload fraction", maxFraction);
    } else if (minFraction != 32) {
        message = invalid("Minimum  embedded payload fraction", minFraction);
    } else if (leafFraction != 32) {
        message = invalid("Leaf payload fraction", leafFraction);
    } else if (firstTrunk > pageCount) {
        message = invalid("Page number of the first freelist trunk page", firstTrunk);
    } else if (freelistPages > pageCount) {
        message = invalid("Total number of freelist pages", freelistPages);
    } else if (schemaFormat < 1 || schemaFormat > 4) {
        message = invalid("The schema format number", schemaFormat);
    } else if (largestRoot > pageCount) {
        message = invalid("The page number of the largest root b-tree page", largestRoot);
    } else if ((encoding == 2 || encoding == 3) && !acceptUtf16_) {
        message = invalid("The database text encoding", encoding, "] not supported!");
    } else if (encoding < 1 || encoding > 3) {
        message = invalid("The database text encoding", encoding);
    }
    if (!message.empty()) {
        WCR_SET_ERROR(error, -1, message, "open");
        return;
    }

    pageSize_ = rawPageSize == 1 ? 65536u : rawPageSize;
    reservedSpace_ = static_cast<uint16_t>(reserved);
    pages_ = pageCount;
    textEncoding_ = static_cast<int32_t>(encoding);
    fileName_ = path;
}

void Database::close() {
    if (file_.is_open()) file_.close();
    fileName_.clear();
}

void Database::readPages(uint32_t pageNumberStart, uint32_t readPageNum, uint8_t* buffer,
                         ErrorInfo* error) {
    if (pageNumberStart == 0) {
        WCR_SET_ERROR(error, -2, "pageNumberStart[0] is invalid!", "readPages");
        return;
    }
    if (uint64_t(pageNumberStart) + readPageNum - 1 > pages_) {
        WCR_SET_ERROR(error, -2,
                      "pageNumberStart[" + std::to_string(pageNumberStart) + "], readPageNum[" +
                          std::to_string(readPageNum) + "] is beyond pages[" +
                          std::to_string(pages_) + "]!",
                      "readPages");
        return;
    }
    if (!file_.is_open()) {
        WCR_SET_ERROR(error, -1, "Database unopened!", "readPages");
        return;
    }
    const uint64_t offset = uint64_t(pageNumberStart - 1) * pageSize_;
    const uint64_t length = uint64_t(readPageNum) * pageSize_;
    file_.seekg(static_cast<std::streamoff>(offset));
    file_.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(length));
    if (!file_) {
        WCR_SET_ERROR(error, -1, "Database read fail!", "readPages");
        return;
    }
    error->clear();
}

uint32_t Database::keepWholePages() {
    const uint32_t claimed = pages_;
    if (!file_.is_open() || pageSize_ == 0) return claimed;
    file_.clear();
    file_.seekg(0, std::ios::end);
    const std::streamoff fileLength = file_.tellg();
    file_.clear();
    if (fileLength < 0) return claimed;
    const uint64_t whole = uint64_t(fileLength) / pageSize_;
    if (whole < pages_) pages_ = static_cast<uint32_t>(whole);
    return claimed;
}

ByteArray Database::readAllPages(ErrorInfo* error) {
    error->clear();
    if (data_) return data_;

    // The page count comes from an untrusted header: the map checks the bytes it
    // claims against the file's real length before mapping them.
    const uint64_t total = uint64_t(pageSize_) * pages_;
    if (!file_.is_open()) {
        WCR_SET_ERROR(error, -1, "Database unopened!", "readAllPages");
        return ByteArray();
    }
    // No pages: nothing to map, and nothing will be read.
    if (total == 0) {
        data_ = ByteArray(new uint8_t[1]());
        return data_;
    }
    auto map = std::make_shared<MappedFile>();
    std::string reason;
    if (!map->open(fileName_, total, &reason)) {
        WCR_SET_ERROR(error, -1, "Database read fail!", "readAllPages");
        return ByteArray();
    }
    map_ = map;
    // The pointer shares the map's lifetime: the bytes stay mapped while any copy lives.
    data_ = ByteArray(map, const_cast<uint8_t*>(map->data()));
    return data_;
}

void Database::releasePages(uint32_t firstPage, uint32_t count) const {
    if (!map_ || firstPage == 0 || count == 0) return;
    map_->release(uint64_t(firstPage - 1) * pageSize_, uint64_t(count) * pageSize_);
}

}  // namespace sqlite
}  // namespace talwen
