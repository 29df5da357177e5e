#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "app/support/TestStore.h"
#include "app/store/RecoveredData.h"

using talwen::app::ChatEntry;
using talwen::app::ConversationSlice;
using talwen::app::RecoveredData;
using talwen::common::ErrorInfo;

namespace {

constexpr int64_t k2015 = 1420070400;  // 2015-01-01 00:00:00 UTC

using MessageKey = std::tuple<int64_t, std::string, int, int>;  // time, text, type, des

std::vector<MessageKey> keys(const std::vector<ChatEntry>& entries) {
    std::vector<MessageKey> result;
    for (const ChatEntry& entry : entries) {
        result.emplace_back(entry.createTime, entry.message.toStdString(), entry.type, entry.des);
    }
    return result;
}

// A contact whose conversation has runs of messages in the same second, a live row
// and its recovered copy among them, and a second contact whose messages are
// interleaved with it.
class ConversationSliceTest : public ::testing::Test {
protected:
    void SetUp() override {
        contact = store.addFriend({"pal", "Pal", "", "", "", 1});
        const int64_t other = store.addFriend({"other", "Other", "", "", "", 1});
        for (int i = 0; i < 23; ++i) {
            add(contact, k2015 + i * 10, "m" + std::to_string(i));
            add(other, k2015 + i * 10 + 1, "o" + std::to_string(i));
        }
        // Runs of one second: four distinct messages with a duplicate at each end.
        for (const char* text : {"dup", "r1", "r2", "r3", "dup"}) {
            add(contact, k2015 + 55, text);
        }
        add(contact, k2015 + 500, "last", 2);
        add(contact, k2015 + 500, "last", 1);  // the live row stored after its recovered copy
        store.finish();
    }

    void add(int64_t friendId, int64_t time, const std::string& text, int obtainWay = 1) {
        TestStore::Chat chat;
        chat.createTime = time;
        chat.message = text;
        chat.obtainWay = obtainWay;
        store.tie(friendId, store.addChat(chat));
    }

    TestStore store;
    int64_t contact = 0;
};

}  // namespace

TEST_F(ConversationSliceTest, SlicesFromTheEndJoinToTheWholeConversation) {
    ErrorInfo error;
    const std::vector<ChatEntry> whole = RecoveredData::queryConversation(store.db(), contact, 0, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    ASSERT_EQ(23u + 4u + 1u, whole.size());
    std::vector<MessageKey> expected = keys(whole);
    std::sort(expected.begin(), expected.end());

    for (const uint32_t count : {1u, 2u, 3u, 7u, 10u, 28u, 100u}) {
        SCOPED_TRACE("slice of " + std::to_string(count));
        ConversationSlice slice = RecoveredData::queryLatestMessages(store.db(), contact, count, &error);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
        ASSERT_FALSE(slice.messages.empty());
        EXPECT_EQ("last", slice.messages.back().message.toStdString());
        std::vector<ChatEntry> joined = slice.messages;
        int slices = 1;
        while (slice.hasEarlier) {
            const ConversationSlice earlier =
                RecoveredData::queryMessagesBefore(store.db(), contact, slice.first, count, &error);
            ASSERT_TRUE(error.isSuccess()) << error.getMessage();
            ASSERT_FALSE(earlier.messages.empty());
            // Each slice is oldest first and ends before the one read earlier begins.
            EXPECT_LT(earlier.messages.back().createTime, joined.front().createTime);
            joined.insert(joined.begin(), earlier.messages.begin(), earlier.messages.end());
            slice = earlier;
            ASSERT_LT(++slices, 100) << "slices do not end";
        }
        EXPECT_TRUE(std::is_sorted(joined.begin(), joined.end(), [](const ChatEntry& a, const ChatEntry& b) {
            return a.createTime < b.createTime;
        }));
        std::vector<MessageKey> actual = keys(joined);
        std::sort(actual.begin(), actual.end());
        EXPECT_EQ(expected, actual);
        if (count >= 23 + 5 + 2) {  // every stored row, duplicates included
            EXPECT_EQ(1, slices);
        }
    }
}

TEST_F(ConversationSliceTest, UnknownContactAndZeroCount) {
    ErrorInfo error;
    const ConversationSlice none = RecoveredData::queryLatestMessages(store.db(), 999, 10, &error);
    EXPECT_TRUE(error.isSuccess());
    EXPECT_TRUE(none.messages.empty());
    EXPECT_FALSE(none.hasEarlier);

    // A count of 0 still reads one message (and its run), so the view always moves on.
    const ConversationSlice one = RecoveredData::queryLatestMessages(store.db(), contact, 0, &error);
    ASSERT_EQ(1u, one.messages.size());
    EXPECT_TRUE(one.hasEarlier);
}
