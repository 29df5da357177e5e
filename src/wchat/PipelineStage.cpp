#include "wchat/PipelineStage.h"

namespace talwen {
namespace wchat {

const char* stageName(Stage stage) {
    switch (stage) {
        case Stage::OpenSourceDb: return "openSourceDb";
        case Stage::CreateTargetDb: return "createTargetDb";
        case Stage::OpenDatabase: return "openDatabase";
        case Stage::LoadDatabase: return "loadDatabase";
        case Stage::SelectFriends: return "selectFriends";
        case Stage::SeekFriends: return "seekFriends";
        case Stage::MergeFriends: return "mergeFriends";
        case Stage::SaveFriends: return "saveFriends";
        case Stage::SelectChatTables: return "selectChatTables";
        case Stage::SeekChatTables: return "seekChatTables";
        case Stage::MergeChatTables: return "mergeChatTables";
        case Stage::WalkChatTables: return "walkChatTables";
        case Stage::IndexFriends: return "indexFriends";
        case Stage::DumpChats: return "dumpChats";
        case Stage::SeekChats: return "seekChats";
        case Stage::FinishTargetDb: return "finishTargetDb";
    }
    return "unknown";
}

bool stageCounts(Stage stage) {
    switch (stage) {
        case Stage::SelectFriends: case Stage::SeekFriends: case Stage::MergeFriends:
        case Stage::SelectChatTables: case Stage::SeekChatTables: case Stage::MergeChatTables:
        case Stage::WalkChatTables: case Stage::DumpChats: case Stage::SeekChats:
            return true;
        default:
            return false;
    }
}

}  // namespace wchat
}  // namespace talwen
