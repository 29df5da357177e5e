#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "sqlite_recovery/Record.h"
#include "wchat/WchatChat.h"

namespace talwen {
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
    // Room for about `messages` keys at once, so the table need not double (for a
    // while twice its size) as the live messages are added.
    void reserve(size_t messages);
    // The same answer as contains() for the message that translating this carved
    // record would give, read straight from its MesSvrId and CreateTime fields so
    // that carved copies of live messages are dropped without being translated.
    bool containsCarved(const sqlite::Record& record) const;
    void clear();

private:
    // A set of 64-bit keys in one flat table with linear probing, at most 70% full:
    // adding a key
    // allocates nothing except when the table doubles, and a lookup touches one
    // run of neighbouring slots. The seek asks for every carved row, and only
    // membership matters. Concurrent lookups are safe while nothing is added.
    class KeySet {
    public:
        void insert(int64_t key);
        bool contains(int64_t key) const;
        void clear();
        void reserve(size_t keys);

    private:
        // Marks a free slot; the key of that value itself is kept in hasEmptyKey_.
        static constexpr int64_t kEmpty = INT64_MIN;
        size_t slotOf(int64_t key) const;
        void grow();
        void rehash(size_t slots);

        std::vector<int64_t> slots_;
        size_t count_ = 0;
        bool hasEmptyKey_ = false;
    };

    KeySet svrIds_;
    KeySet createTimes_;
};

}  // namespace wchat
}  // namespace talwen
