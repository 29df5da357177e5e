#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sqlite_recovery/MappedFile.h"
#include "sqlite_recovery/SeekEventHandler.h"
#include "sqlite_recovery/SeekProgressIndicator.h"
#include "sqlite_recovery/SqliteBlockSeeker.h"

namespace talwen {
namespace sqlite {

// A database's write-ahead log (FILE-wal) read without the SQLite library: its
// 32-byte header and every whole frame (24-byte frame header + one page image),
// each classified the way SQLite reads the log. Every frame's page image is a
// source of records, whatever its state: committed frames hold the newest pages,
// uncommitted ones a transaction that never finished, frames of an earlier
// checkpoint (other salts) older versions of pages, with rows deleted since.
// A bad header or a torn last frame is read as far as it is sound, with a note.
class WalFile {
public:
    enum class FrameState : uint8_t {
        kCommitted,    // in the valid chain, up to its last commit frame
        kUncommitted,  // in the valid chain, after its last commit frame
        kOldSalt,      // salts of an earlier checkpoint: left over from before the log restarted
        kInvalid,      // current salts, but off the valid chain (checksum, or after a broken frame)
    };
    struct Frame {
        uint32_t index = 0;       // from 1, in file order
        uint32_t pageNumber = 0;  // the database page the image is for
        uint32_t commitSize = 0;  // database size in pages for a commit frame, else 0
        uint64_t imageOffset = 0; // where the page image starts in the file
        FrameState state = FrameState::kInvalid;
    };

    static const char* stateName(FrameState state);

    // Reads the log at path. databasePageSize is the main file's page size, used
    // when the header's cannot be trusted. False only when the file cannot be
    // opened or mapped (message in `note`); a log without whole frames is opened
    // with no frames. `note` tells what was not sound (empty when all was).
    bool open(const std::string& path, uint32_t databasePageSize);

    uint32_t getPageSize() const { return pageSize_; }
    const std::vector<Frame>& getFrames() const { return frames_; }
    const std::string& getNote() const { return note_; }
    const uint8_t* pageImage(const Frame& frame) const { return map_.data() + frame.imageOffset; }
    void releaseFrame(const Frame& frame) const { map_.release(frame.imageOffset, pageSize_); }

    // Carves every frame's page image with blockSeeker (built for this page size)
    // as the page the frame names, frames in file order, on the calling thread.
    // During the handler's calls currentFrame() gives the frame's index. Stops
    // before the next frame when progress (may be null; not begun or updated)
    // asks for a stop. Returns the records the handler took.
    // carvePage, when given, chooses the frames by the page they name.
    uint32_t seek(const SqliteBlockSeeker& blockSeeker, SeekProgressIndicator* progress, SeekEventHandler* handler,
                  const std::function<bool(uint32_t pageNumber)>& carvePage = nullptr) const;

    // The frame being carved on the calling thread: 0 while the main file is.
    static uint32_t currentFrame();

private:
    MappedFile map_;
    uint32_t pageSize_ = 0;
    std::vector<Frame> frames_;
    std::string note_;
};

}  // namespace sqlite
}  // namespace talwen
