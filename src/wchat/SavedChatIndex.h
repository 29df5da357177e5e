#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <unordered_set>
#include <vector>

#include "sqlite_recovery/Record.h"
#include "wchat/WchatChat.h"

namespace talwen {
namespace sqlite {
namespace wchat {

// Keys of the stored live messages, so that a carved copy of a live message is
// recognised. A message's key is its mesSvrId when given, not NULL and not 0,
// otherwise its createTime when given and not NULL, otherwise it has none.
// Creation times compare across all conversations.
//
// Threads: filled by one thread before the message seek; only read during it.
class SavedChatIndex {
public:
    // True when the message has a key (newly inserted or already present).
    bool add(const WchatChat& chat);
    // The number of messages that had a key.
    size_t addAll(const std::vector<std::shared_ptr<WchatChat>>& chats);
    bool contains(const WchatChat& chat) const;
    // The same answer as contains() for the message that translating this carved
    // record would give, read straight from its MesSvrId and CreateTime fields so
    // that carved copies of live messages are dropped without being translated.
    bool containsCarved(const Record& record) const;
    void clear();

private:
    // Server ids spread over 256 sets by their low 8 bits. Hash sets: the seek asks
    // for every carved row, and only membership matters.
    std::array<std::unordered_set<int64_t>, 256> svrIds_;
    std::unordered_set<int32_t> createTimes_;
};

}  // namespace wchat
}  // namespace sqlite
}  // namespace talwen
