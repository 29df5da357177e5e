#include "BackupTestSupport.h"

#include "backup/BackupManager.h"

#include <gtest/gtest.h>

namespace talwen::backup {
namespace {

QByteArray strings(std::initializer_list<const char*> texts)
{
    QByteArray out;
    for (const char* text : texts)
        out += QByteArray("<string>") + text + "</string>";
    return out;
}

AccountSettings parse(const QByteArray& topLevelBody)
{
    const auto settings = BackupManager::parseAccountSettings(test::xmlPlist("<dict>" + topLevelBody + "</dict>"));
    EXPECT_TRUE(settings.has_value());
    return settings.value_or(AccountSettings{});
}

const char* const kUrl = "http://wx.qlogo.cn/mmhead/abc/132";

TEST(AccountSettingsTest, StringsAreCountedInTheArraysOfTheTopLevelDictionary)
{
    // Other elements between the strings do not count.
    const AccountSettings s = parse(
        "<key>$version</key><integer>100000</integer><key>$objects</key><array>" +
        strings({"$null"}) + "<dict><key>k</key><string>inside a dict</string></dict>" +
        strings({"user", "nick", "three"}) + "<integer>7</integer>" +
        strings({"fifth", "5", "6", "7", "8", "9", "10", "signature", "12", kUrl, "after the address"}) +
        "</array>");
    EXPECT_EQ(s.userName, "user");
    EXPECT_EQ(s.nickName, "nick");
    EXPECT_EQ(s.fifthString, "fifth");
    EXPECT_EQ(s.signature, "signature");
    EXPECT_EQ(s.headImgUrl, kUrl);
}

TEST(AccountSettingsTest, ThePictureAddressEndsTheWalkOfItsArray)
{
    struct Case {
        const char* name;
        QByteArray array;
        AccountSettings expected;
    };
    const Case cases[] = {
        {"address first", strings({kUrl, "user", "nick"}), {"", "", "", "", kUrl}},
        {"address before the signature",
         strings({"$null", "user", "nick", "3", "fifth", kUrl, "6", "7", "8", "9", "10", "signature"}),
         {"user", "nick", "fifth", "", kUrl}},
        {"address as user name", strings({"$null", "http://x/132", "nick"}), {"http://x/132", "", "", "", "http://x/132"}},
        {"not an address",
         strings({"$null", "user", "HTTP://x/132", "https://x/1320", "ftp://x/132", "http://x/13"}),
         {"user", "HTTP://x/132", "ftp://x/132", "", ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const AccountSettings s = parse("<key>$objects</key><array>" + c.array + "</array>");
        EXPECT_EQ(s.userName, c.expected.userName);
        EXPECT_EQ(s.nickName, c.expected.nickName);
        EXPECT_EQ(s.fifthString, c.expected.fifthString);
        EXPECT_EQ(s.signature, c.expected.signature);
        EXPECT_EQ(s.headImgUrl, c.expected.headImgUrl);
    }
}

TEST(AccountSettingsTest, ArraysDeeperThanTheTopLevelDictionaryAreNotWalked)
{
    const AccountSettings s = parse("<key>nested</key><dict><key>a</key><array>" +
                                    strings({"$null", "deep", "deep", "3", "deep", kUrl}) + "</array></dict>");
    EXPECT_EQ(s.userName, "");
    EXPECT_EQ(s.headImgUrl, "");
}

} // namespace
} // namespace talwen::backup
