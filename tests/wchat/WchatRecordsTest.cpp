#include <gtest/gtest.h>

#include <string>

#include "wchat/Md5.h"
#include "wchat/WchatChat.h"
#include "wchat/WchatFriend.h"

using namespace talwen::wchat;

// The bit numbers are the store's format (validFlag columns): they must not move.
TEST(WchatRecords, FlagBitsAreFixed) {
    EXPECT_EQ(0x1u, WchatChat::kTableVerFlag);
    EXPECT_EQ(0x4u, WchatChat::kMesSvrIdFlag);
    EXPECT_EQ(0x10u, WchatChat::kMessageFlag);
    EXPECT_EQ(0x200u, WchatChat::kPageNumberFlag);
    EXPECT_EQ(0x400u, WchatChat::kTaggedUserNameFlag);
    EXPECT_EQ(0x800u, WchatChat::kFromUserNameFlag);
    EXPECT_EQ(0x1000u, WchatChat::kRcChatIdFlag);

    EXPECT_EQ(0x2u, WchatFriend::kUsrNameFlag);
    EXPECT_EQ(0x4u, WchatFriend::kHashedUsrNameFlag);
    EXPECT_EQ(0x100u, WchatFriend::kFullPYFlag);
    EXPECT_EQ(0x400u, WchatFriend::kImgFlag);
    EXPECT_EQ(0x4000u, WchatFriend::kConRemarkFlag);
    EXPECT_EQ(0x100000u, WchatFriend::kSignFlag);
    EXPECT_EQ(0x400000u, WchatFriend::kWcFriendFlag);
    EXPECT_EQ(0x1000000u, WchatFriend::kRcFriendIdFlag);
    EXPECT_EQ(0x8000000u, WchatFriend::kNickNamePyFlag);
}

TEST(WchatRecords, SettersSetOnlyTheirOwnBit) {
    WchatChat chat(2);
    EXPECT_EQ(2, chat.getObtainWay());
    EXPECT_EQ(1, chat.getTableVer());
    EXPECT_EQ(0u, chat.getValidFlag());  // tableVer 1 without its bit
    chat.setMesSvrId(int64_t(1) << 40);
    chat.setCreateTime(1400000000);
    chat.setDes(1);
    EXPECT_EQ(WchatChat::kMesSvrIdFlag | WchatChat::kCreateTimeFlag | WchatChat::kDesFlag,
              chat.getValidFlag());
    EXPECT_EQ(0u, chat.getNullFlag());
    EXPECT_EQ(int64_t(1) << 40, chat.getMesSvrId());

    WchatFriend contact(1);
    contact.setNickName("Nick");
    contact.setWcFriend(1);
    contact.setNull(WchatFriend::kConRemarkFlag);
    EXPECT_TRUE(contact.isSet(WchatFriend::kConRemarkFlag));
    EXPECT_TRUE(contact.isFieldNull(WchatFriend::kConRemarkFlag));
    EXPECT_FALSE(contact.isFieldNull(WchatFriend::kNickNameFlag));
    EXPECT_EQ(WchatFriend::kNickNameFlag | WchatFriend::kWcFriendFlag | WchatFriend::kConRemarkFlag,
              contact.getValidFlag());
}

// The conversation table of a contact is "Chat_" + MD5 of its user name.
TEST(WchatRecords, UsrNameSetsItsDigest) {
    WchatFriend contact(1);
    contact.setUsrName("wxid_abc123");
    EXPECT_EQ("wxid_abc123", contact.getUsrName());
    EXPECT_EQ(Md5::hexDigest(std::string("wxid_abc123")), contact.getHashedUsrName());
    EXPECT_EQ(32u, contact.getHashedUsrName().size());
    EXPECT_EQ(WchatFriend::kUsrNameFlag | WchatFriend::kHashedUsrNameFlag, contact.getValidFlag());

    WchatFriend empty(2);
    empty.setUsrName("");
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", empty.getHashedUsrName());

    WchatFriend placeholder(101);
    placeholder.setHashedUsrName("0123456789abcdef0123456789abcdef");
    EXPECT_EQ(WchatFriend::kHashedUsrNameFlag, placeholder.getValidFlag());
    EXPECT_EQ("", placeholder.getUsrName());

    WchatFriend room(1);
    room.addChatRoomMember("b");
    room.addChatRoomMember("a");
    room.addChatRoomMember("b");
    EXPECT_EQ((std::set<std::string>{"a", "b"}), room.getChatRoomMembers());
    EXPECT_EQ(0u, room.getValidFlag());
}

namespace {

struct SenderCase {
    const char* name;
    std::string message;
    const char* tagged;  // nullptr: not set
    const char* from;    // nullptr: not set
};

const SenderCase kSenderCases[] = {
    {"group message", "wxid_x:\nhello", "wxid_x", nullptr},
    {"group message with all allowed characters", "a|b@c-d_9:\nhi", "a|b@c-d_9", nullptr},
    {"only the first colon and line feed counts", "wxid_y:\nsee:\nthis", "wxid_y", nullptr},
    {"space before the colon", "wxid x:\nhello", nullptr, nullptr},
    {"non-ASCII sender", "\xe5\xbc\xa0:\nhello", nullptr, nullptr},
    {"colon at start", ":\nhello", nullptr, nullptr},
    {"colon without line feed", "wxid_x: hello", nullptr, nullptr},
    {"no colon", "hello there", nullptr, nullptr},
    {"empty", "", nullptr, nullptr},
    {"fromusername then another attribute",
     "<msg><appmsg fromusername = \"wxid_f\" type=\"5\" /></msg>", nullptr, "wxid_f"},
    {"fromusername without spaces", "<x fromusername=\"gh_1@b\">", nullptr, "gh_1@b"},
    {"line feed after fromusername", "<msg fromusername=\"wxid_f\" />\n</msg>", nullptr, nullptr},
    {"carriage return after fromusername", "<msg fromusername=\"wxid_f\" />\r", nullptr, nullptr},
    {"line feed before the value is whitespace", "<m fromusername\n=\n\"wxid_f\">", nullptr,
     "wxid_f"},
    {"empty fromusername value", "<m fromusername=\"\" >", nullptr, nullptr},
    {"unquoted fromusername", "<m fromusername=wxid_f>", nullptr, nullptr},
    {"only the first fromusername counts", "<m fromusername=x> fromusername=\"y\"", nullptr,
     nullptr},
    {"both in one message", "room_member:\n<msg fromusername=\"wxid_g\"/>", "room_member",
     "wxid_g"},
};

}  // namespace

TEST(WchatRecords, MessageAnalysisFindsSenders) {
    for (const SenderCase& c : kSenderCases) {
        WchatChat chat(1);
        chat.setMessage(c.message);
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.message, chat.getMessage());
        EXPECT_TRUE(chat.isSet(WchatChat::kMessageFlag));
        EXPECT_EQ(c.tagged != nullptr, chat.isSet(WchatChat::kTaggedUserNameFlag));
        EXPECT_EQ(c.tagged ? c.tagged : "", chat.getTaggedUserName());
        EXPECT_EQ(c.from != nullptr, chat.isSet(WchatChat::kFromUserNameFlag));
        EXPECT_EQ(c.from ? c.from : "", chat.getFromUserName());
    }
}

// A long payload with a trailing attribute must not exhaust the stack.
TEST(WchatRecords, MessageAnalysisOfLongText) {
    std::string text = "<msg fromusername=\"wxid_long\" ";
    text.append(1 << 20, 'x');
    WchatChat chat(2);
    chat.setMessage(text);
    EXPECT_EQ("wxid_long", chat.getFromUserName());
}
