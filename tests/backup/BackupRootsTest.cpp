#include "backup/BackupRoots.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>

namespace talwen::backup {
namespace {

using Platform = BackupRoots::Platform;

struct RootsCase {
    const char* name;
    Platform platform;
    std::map<std::string, std::string> environment;
    std::vector<std::string> expected;
};

TEST(BackupRootsTest, CandidatesPerPlatform)
{
    const RootsCase cases[] = {
        {"windows both", Platform::Windows,
         {{"AppData", "C:\\Users\\li\\AppData\\Roaming"}, {"USERPROFILE", "C:\\Users\\li"}},
         {"C:\\Users\\li\\AppData\\Roaming\\Apple Computer\\MobileSync\\Backup",
          "C:\\Users\\li\\Apple\\MobileSync\\Backup"}},
        {"windows store only", Platform::Windows, {{"USERPROFILE", "C:\\Users\\li"}},
         {"C:\\Users\\li\\Apple\\MobileSync\\Backup"}},
        {"windows nothing set", Platform::Windows, {}, {}},
        {"macos", Platform::MacOS, {{"HOME", "/Users/li"}},
         {"/Users/li/Library/Application Support/MobileSync/Backup"}},
        {"macos with AppData first", Platform::MacOS, {{"HOME", "/Users/li"}, {"AppData", "/data"}},
         {"/data/Apple Computer/MobileSync/Backup", "/Users/li/Library/Application Support/MobileSync/Backup"}},
        {"linux AppData only", Platform::Other, {{"AppData", "/tmp/x"}, {"HOME", "/home/li"}},
         {"/tmp/x/Apple Computer/MobileSync/Backup"}},
        {"linux without AppData", Platform::Other, {{"HOME", "/home/li"}, {"USERPROFILE", "/home/li"}}, {}},
    };
    for (const RootsCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto environment = [&c](const char* name) {
            const auto found = c.environment.find(name);
            return found == c.environment.end() ? std::string() : found->second;
        };
        EXPECT_EQ(BackupRoots::candidates(c.platform, environment), c.expected);
    }
}

TEST(BackupRootsTest, ExistingRootsKeepOrderAndDropMissingAndRepeatedDirectories)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const std::string a = temp.filePath("a").toStdString();
    const std::string b = temp.filePath("b").toStdString();
    ASSERT_TRUE(QDir().mkpath(temp.filePath("a")));
    ASSERT_TRUE(QDir().mkpath(temp.filePath("b")));
    ASSERT_TRUE(QFile::link(temp.filePath("a"), temp.filePath("link-to-a")));
    QFile plain(temp.filePath("file"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();

    const std::vector<std::string> candidates{b, temp.filePath("missing").toStdString(), a,
                                              temp.filePath("link-to-a").toStdString(),
                                              temp.filePath("file").toStdString(), b};
    EXPECT_EQ(BackupRoots::existingRoots(candidates), (std::vector<std::string>{b, a}));
}

TEST(BackupRootsTest, ThisPlatformReadsAppDataWithItsSeparator)
{
    const QByteArray saved = qgetenv("AppData");
    qputenv("AppData", "/some/where");
    const auto candidates =
        BackupRoots::candidates(BackupRoots::currentPlatform(), &BackupRoots::processEnvironment);
    if (saved.isNull())
        qunsetenv("AppData");
    else
        qputenv("AppData", saved);
    ASSERT_FALSE(candidates.empty());
    const char sep = BackupRoots::separator();
    EXPECT_EQ(candidates.front(), std::string("/some/where") + sep + "Apple Computer" + sep + "MobileSync" +
                                      sep + "Backup");
}

} // namespace
} // namespace talwen::backup
