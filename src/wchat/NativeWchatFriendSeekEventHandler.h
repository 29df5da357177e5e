#pragma once

#include <memory>
#include <vector>

#include "sqlite_recovery/SeekEventHandler.h"
#include "wchat/WchatFriend.h"

namespace talwen {
namespace wchat {

// Collects the carved contacts of one seek thread (obtain way 2, texts cleaned),
// in the order they were found.
class NativeWchatFriendSeekEventHandler : public sqlite::SeekEventHandler {
public:
    NativeWchatFriendSeekEventHandler() = default;

    void onPageBegin(uint32_t pageNumber) override;
    void onPageEnd(uint32_t pageNumber) override;
    int onRecord(std::shared_ptr<sqlite::Record>& record) override;

    const std::vector<std::shared_ptr<WchatFriend>>& getWchatFriends() const { return friends_; }

private:
    std::vector<std::shared_ptr<WchatFriend>> friends_;
};

}  // namespace wchat
}  // namespace talwen
