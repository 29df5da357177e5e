#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "sqlite_recovery/PageMap.h"
#include "sqlite_recovery/Record.h"
#include "sqlite_recovery/RecordFilter.h"

namespace talwen {
namespace wchat {

// Whether a carved row that fits the layout of a conversation table can be a
// message at all. Rows of other tables (contacts above all) and chance matches in
// free space fit that layout often; they are told apart by what a message must
// have: a creation time within the messenger's lifetime, a known message type, a
// direction of 0 or 1 and a body that suits its type.
class MessagePlausibility {
public:
    enum class Verdict : uint8_t {
        kPlausible,
        kCreateTime,   // missing, before 2011-01-01 or after the file's own time plus a day
        kType,         // missing or not a message type of the messenger
        kDes,          // missing or other than 0 and 1
        kBody,         // missing, empty or unlike its type (no markup for a media type)
        kOwnedElsewhere,  // the bytes are a live cell of another table, or page structure
    };
    static constexpr size_t kVerdicts = 6;

    // 2011-01-01 00:00:00 UTC: the messenger's first release is later.
    static constexpr int64_t kEarliestTime = 1293840000;
    static constexpr int64_t kSlackSeconds = 86400;

    // latestTime: the database file's modification time (seconds since 1970);
    // rows created more than a day after it are not messages of this file.
    explicit MessagePlausibility(int64_t latestTime) : latestTime_(latestTime + kSlackSeconds) {}

    // The modification time of the file at path, or now when it cannot be read.
    static int64_t fileTime(const std::string& path);

    Verdict judge(int64_t createTime, bool hasCreateTime, int64_t type, bool hasType, int64_t des, bool hasDes,
                  const std::string* message) const;
    // The same for a carved record of a conversation table (fields by column name).
    Verdict judge(const sqlite::Record& record) const;

    // 1 text, 3 picture, 34 voice, 42 card, 43 video, 47 sticker, 48 location, 49 link
    // or file, 50 call, 62 short video, 10000 system notice, and the others the
    // messenger writes; a type with flags above the low 16 bits counts by its low part.
    static bool isKnownType(int64_t type);
    // Types whose body is an XML payload.
    static bool hasMarkupBody(int64_t type);

    static const char* name(Verdict verdict);

private:
    int64_t latestTime_;
};

// Where a carved message row lies, by the file's page map: bytes inside a live cell
// of a table other than a conversation table, inside a live cell of a conversation
// table read at another offset, or in a page's header and cell pointers are not a
// message. Stale bytes in the free space of any page stay candidates.
class MessagePlacement {
public:
    // map: built over every b-tree of the file; chatRoots: the root pages of the
    // live conversation tables.
    MessagePlacement(const sqlite::PageMap* map, std::set<uint32_t> chatRoots)
        : map_(map), chatRoots_(std::move(chatRoots)) {}

    // offset and headerBytes as the seek reports them for the record.
    bool ownedElsewhere(uint32_t pageNumber, uint32_t offset, uint32_t headerBytes,
                        const sqlite::Record& record) const;
    // A read inside a live cell away from where the cell's record starts: bytes of
    // a live row read at the wrong place, not a row at all. The seek does not offer
    // these offsets when it is given the map (CarveOptions::skipLiveCellInteriors),
    // so they are refused without being counted, whichever way the seek ran.
    bool misreadsLiveCell(uint32_t pageNumber, uint32_t offset) const;

private:
    const sqlite::PageMap* map_;
    std::set<uint32_t> chatRoots_;
};

// The message seek's filter: the inner filter's test, then the placement (when a
// page map exists) and the plausibility of the row. Carved copies of live messages
// pass untouched (the handler drops them), so only rows that would have become
// messages are counted as rejected, by verdict. Shared by all seek threads; the
// counters are atomic.
class PlausibleChatRecordFilter : public sqlite::RecordFilter {
public:
    // isLiveCopy answers whether a record is a copy of a stored live message;
    // placement may be null. None is owned.
    using LiveCopyTest = bool (*)(const void* context, const sqlite::Record& record);
    PlausibleChatRecordFilter(sqlite::RecordFilter* inner, const MessagePlausibility* plausibility,
                              const MessagePlacement* placement, LiveCopyTest isLiveCopy, const void* context)
        : inner_(inner), plausibility_(plausibility), placement_(placement), isLiveCopy_(isLiveCopy),
          context_(context) {}

    bool accept(std::shared_ptr<sqlite::Record>& record) override;

    uint64_t rejected() const;
    uint64_t rejected(MessagePlausibility::Verdict verdict) const {
        return counts_[static_cast<size_t>(verdict)].load();
    }

private:
    sqlite::RecordFilter* inner_;
    const MessagePlausibility* plausibility_;
    const MessagePlacement* placement_;
    LiveCopyTest isLiveCopy_;
    const void* context_;
    std::array<std::atomic<uint64_t>, MessagePlausibility::kVerdicts> counts_{};
};

}  // namespace wchat
}  // namespace talwen
