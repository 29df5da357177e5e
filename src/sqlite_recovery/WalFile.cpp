#include "sqlite_recovery/WalFile.h"

#include <filesystem>
#include <system_error>

namespace talwen {
namespace sqlite {

namespace {

constexpr uint32_t kHeaderSize = 32;
constexpr uint32_t kFrameHeaderSize = 24;
constexpr uint32_t kMagicLittleEndian = 0x377f0682;
constexpr uint32_t kMagicBigEndian = 0x377f0683;
constexpr uint32_t kVersion = 3007000;

thread_local uint32_t carvedFrame = 0;

uint32_t bigEndian32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// SQLite's log checksum over `bytes` (a multiple of 8), continued from s.
void checksum(const uint8_t* bytes, uint32_t length, bool bigEndianWords, uint32_t s[2]) {
    for (uint32_t i = 0; i + 8 <= length; i += 8) {
        uint32_t a, b;
        if (bigEndianWords) {
            a = bigEndian32(bytes + i);
            b = bigEndian32(bytes + i + 4);
        } else {
            a = uint32_t(bytes[i]) | (uint32_t(bytes[i + 1]) << 8) | (uint32_t(bytes[i + 2]) << 16) |
                (uint32_t(bytes[i + 3]) << 24);
            b = uint32_t(bytes[i + 4]) | (uint32_t(bytes[i + 5]) << 8) | (uint32_t(bytes[i + 6]) << 16) |
                (uint32_t(bytes[i + 7]) << 24);
        }
        s[0] += a + s[1];
        s[1] += b + s[0];
    }
}

bool validPageSize(uint32_t size) { return size >= 512 && size <= 65536 && (size & (size - 1)) == 0; }

void addNote(std::string& note, const std::string& text) {
    if (!note.empty()) note += "; ";
    note += text;
}

}  // namespace

const char* WalFile::stateName(FrameState state) {
    switch (state) {
        case FrameState::kCommitted: return "committed";
        case FrameState::kUncommitted: return "uncommitted";
        case FrameState::kOldSalt: return "old";
        case FrameState::kInvalid: return "invalid";
    }
    return "invalid";
}

uint32_t WalFile::currentFrame() { return carvedFrame; }

bool WalFile::open(const std::string& path, uint32_t databasePageSize) {
    frames_.clear();
    note_.clear();
    pageSize_ = 0;
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(std::filesystem::u8path(path), ec);
    if (ec) {
        note_ = "cannot read the write-ahead log";
        return false;
    }
    if (size == 0) return true;
    if (!map_.open(path, size, &note_)) {
        note_ = "cannot read the write-ahead log: " + note_;
        return false;
    }
    const uint8_t* data = map_.data();
    if (size < kHeaderSize) {
        note_ = "write-ahead log shorter than its header (" + std::to_string(size) + " bytes): nothing carved";
        return true;
    }

    const uint32_t magic = bigEndian32(data);
    const uint32_t headerPageSize = bigEndian32(data + 8);
    const bool bigEndianWords = (magic & 1) != 0;
    bool headerSound = magic == kMagicLittleEndian || magic == kMagicBigEndian;
    if (!headerSound) {
        addNote(note_, "write-ahead log header invalid (magic number)");
    } else if (bigEndian32(data + 4) != kVersion) {
        addNote(note_, "write-ahead log header invalid (version " + std::to_string(bigEndian32(data + 4)) + ")");
        headerSound = false;
    }
    const uint32_t claimed = headerPageSize == 1 ? 65536u : headerPageSize;
    if (headerSound && validPageSize(claimed) && (databasePageSize == 0 || claimed == databasePageSize)) {
        pageSize_ = claimed;
    } else {
        if (headerSound) addNote(note_, "write-ahead log page size " + std::to_string(headerPageSize) + " invalid");
        headerSound = false;
        pageSize_ = databasePageSize;
    }
    if (!validPageSize(pageSize_)) {
        addNote(note_, "no page size to read the frames with: nothing carved");
        pageSize_ = 0;
        return true;
    }
    if (!headerSound) addNote(note_, "frames read with the database's page size, none taken as committed");

    uint32_t running[2] = {0, 0};
    if (headerSound) {
        checksum(data, 24, bigEndianWords, running);
        if (running[0] != bigEndian32(data + 24) || running[1] != bigEndian32(data + 28)) {
            addNote(note_, "write-ahead log header checksum wrong: no frame taken as committed");
            headerSound = false;
        }
    }
    const uint32_t salt1 = bigEndian32(data + 16);
    const uint32_t salt2 = bigEndian32(data + 20);

    const uint64_t frameSize = uint64_t(kFrameHeaderSize) + pageSize_;
    const uint64_t whole = (size - kHeaderSize) / frameSize;
    const uint64_t torn = (size - kHeaderSize) % frameSize;
    if (torn != 0) {
        addNote(note_, "write-ahead log ends in a torn frame (" + std::to_string(torn) + " bytes after frame " +
                           std::to_string(whole) + "): the whole frames before it are carved");
    }
    // The file's length bounds the frame count, so the list is as large as the file allows.
    frames_.reserve(static_cast<size_t>(whole));
    bool chainIntact = headerSound;
    size_t lastCommit = 0;  // frames_ index + 1 of the chain's last commit frame
    uint32_t skipped = 0;
    for (uint64_t i = 0; i < whole; ++i) {
        const uint8_t* header = data + kHeaderSize + i * frameSize;
        Frame frame;
        frame.index = static_cast<uint32_t>(i + 1);
        frame.pageNumber = bigEndian32(header);
        frame.commitSize = bigEndian32(header + 4);
        frame.imageOffset = kHeaderSize + i * frameSize + kFrameHeaderSize;
        const bool currentSalts = bigEndian32(header + 8) == salt1 && bigEndian32(header + 12) == salt2;
        frame.state = currentSalts ? FrameState::kInvalid : FrameState::kOldSalt;
        if (chainIntact && currentSalts && frame.pageNumber != 0) {
            uint32_t next[2] = {running[0], running[1]};
            checksum(header, 8, bigEndianWords, next);
            checksum(header + kFrameHeaderSize, pageSize_, bigEndianWords, next);
            if (next[0] == bigEndian32(header + 16) && next[1] == bigEndian32(header + 20)) {
                running[0] = next[0];
                running[1] = next[1];
                frame.state = FrameState::kUncommitted;
                if (frame.commitSize != 0) lastCommit = frames_.size() + 1;
            } else {
                chainIntact = false;
            }
        } else {
            // SQLite's reading of the log ends at the first frame off the chain.
            chainIntact = false;
        }
        if (frame.pageNumber == 0) {
            ++skipped;  // no page to carve it as
            continue;
        }
        frames_.push_back(frame);
    }
    for (size_t k = 0; k < lastCommit && k < frames_.size(); ++k) {
        if (frames_[k].state == FrameState::kUncommitted) frames_[k].state = FrameState::kCommitted;
    }
    if (skipped != 0) addNote(note_, std::to_string(skipped) + " frames name no page and are not carved");
    return true;
}

uint32_t WalFile::seek(const SqliteBlockSeeker& blockSeeker, SeekProgressIndicator* progress,
                       SeekEventHandler* handler, const std::function<bool(uint32_t)>& carvePage) const {
    if (pageSize_ == 0 || blockSeeker.getPageSize() != pageSize_) return 0;
    uint32_t found = 0;
    for (const Frame& frame : frames_) {
        if (progress != nullptr && progress->stopRequested()) break;
        if (carvePage && !carvePage(frame.pageNumber)) continue;
        carvedFrame = frame.index;
        found += blockSeeker.seek(pageImage(frame), frame.pageNumber, 1, nullptr, handler);
        carvedFrame = 0;
        releaseFrame(frame);
    }
    return found;
}

}  // namespace sqlite
}  // namespace talwen
