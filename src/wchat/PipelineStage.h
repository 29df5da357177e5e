#pragma once

#include <cstdint>

namespace talwen {
namespace wchat {

// The sixteen stages of a recovery, in the order WchatChatToDbSeeker::run takes them.
enum class Stage {
    OpenSourceDb,      // the messenger's database through the SQLite library
    CreateTargetDb,    // the recovery store
    OpenDatabase,      // the same file through the page reader
    LoadDatabase,      // the file's pages into memory
    SelectFriends,     // live contacts
    SeekFriends,       // carved contacts
    MergeFriends,
    SaveFriends,
    SelectChatTables,  // live conversation tables
    SeekChatTables,    // conversation tables carved from sqlite_master
    MergeChatTables,
    WalkChatTables,    // the leaf pages of every conversation table
    IndexFriends,
    DumpChats,         // every live message
    SeekChats,         // every carved message
    FinishTargetDb,    // the store's counters and indexes
};
constexpr int kStageCount = 16;

// "openSourceDb", "seekChats", ...: the stage's name in logs and benchmarks.
const char* stageName(Stage stage);
// Whether the stage's end report carries a count (see StageReport).
bool stageCounts(Stage stage);

// What a stage reports. At its begin only threadCount is set (carving stages);
// at its end elapsedMs, and what the stage counts:
//   count      rows read (Select*, DumpChats), records carved (Seek*), live rows
//              merged (Merge*), leaf pages walked (WalkChatTables);
//   pageSize, pageCount   OpenDatabase;  bytes   LoadDatabase.
struct StageReport {
    uint32_t threadCount = 0;
    uint64_t elapsedMs = 0;
    uint32_t count = 0;
    uint32_t pageSize = 0;
    uint32_t pageCount = 0;
    uint64_t bytes = 0;
};

// Receives every stage's begin and end on the thread that runs the recovery. A
// stage that fails reports no end, except SeekChats and FinishTargetDb, which end
// even after a failure because the store is completed regardless.
//
// Long stages without a seek indicator report their progress in between, on the
// same thread: DumpChats in messages copied of an estimate of the live messages
// (the largest row id of each table; the estimate can be high, so done may stop
// short of total), FinishTargetDb in statements run.
class StageObserver {
public:
    virtual ~StageObserver() = default;
    virtual void onBegin(Stage stage, const StageReport& report) = 0;
    virtual void onEnd(Stage stage, const StageReport& report) = 0;
    virtual void onProgress(Stage /*stage*/, uint64_t /*done*/, uint64_t /*total*/) {}
};

}  // namespace wchat
}  // namespace talwen
