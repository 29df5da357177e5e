#include "BackupTestSupport.h"

#include "backup/BackupManager.h"
#include "backup/BackupRoots.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace talwen::backup {
namespace {

using test::infoPlist;
using test::writeFile;

// Sets "AppData" for one test and restores it afterwards.
class AppDataScope {
public:
    explicit AppDataScope(const QByteArray& value) : saved_(qgetenv("AppData")), wasSet_(qEnvironmentVariableIsSet("AppData"))
    {
        qputenv("AppData", value);
    }
    ~AppDataScope()
    {
        if (wasSet_)
            qputenv("AppData", saved_);
        else
            qunsetenv("AppData");
    }

private:
    QByteArray saved_;
    bool wasSet_;
};

class BackupListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(temp_.isValid());
        root_ = temp_.path() + "/Apple Computer/MobileSync/Backup";
        ASSERT_TRUE(QDir().mkpath(root_));
    }

    std::string backupPath(const char* name) const
    {
        return root_.toStdString() + BackupRoots::separator() + name;
    }
    void writeInfo(const char* name, const QByteArray& content)
    {
        writeFile(QString::fromStdString(backupPath(name)) + "/Info.plist", content);
    }

    QTemporaryDir temp_;
    QString root_;
};

TEST_F(BackupListTest, MissingOrEmptyAppDataFindsNothing)
{
    for (const char* value : {"", "/no/such/directory"}) {
        AppDataScope scope(value);
        BackupManager manager;
        EXPECT_FALSE(manager.scanBackups());
        EXPECT_EQ(manager.backupCount(), 0u);
    }
    qunsetenv("AppData");
    BackupManager manager;
    EXPECT_FALSE(manager.scanBackupRoots(BackupRoots::existingRoots(
        BackupRoots::candidates(BackupRoots::Platform::Other, &BackupRoots::processEnvironment))));
    EXPECT_EQ(manager.backupCount(), 0u);
}

TEST_F(BackupListTest, ScanListsReadableInfoPlistsInNameOrder)
{
    writeInfo("b-full", infoPlist("<key>Device Name</key><string>Li's iPhone</string>"
                                  "<key>Last Backup Date</key><date>2016-03-01T08:12:34Z</date>"
                                  "<key>Serial Number</key><string>F17ABC</string>"));
    writeInfo("B-upper", infoPlist("<key>Device Name</key><string>upper</string>"));
    writeInfo("c-no-serial", infoPlist("<key>Device Name</key><string>手机</string>"));
    writeInfo("d-other-case", infoPlist("<key>device name</key><string>x</string>"
                                        "<key>Serial Number</key><string>S</string>"));
    // A value that reads like a key is a value: the walk continues after it.
    writeInfo("e-value-like-key", infoPlist("<key>Device Name</key><string>Serial Number</string>"
                                            "<key>Last Backup Date</key>"));
    writeInfo("f-binary", QByteArray("bplist00\xd1\x01\x02", 11));
    writeInfo("g-truncated", infoPlist("<key>Device Name</key><string>x</string>").left(90));
    writeInfo("h-empty", QByteArray());
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(backupPath("i-no-info"))));
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(backupPath("j-info-is-dir")) + "/Info.plist"));
#ifndef _WIN32
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(backupPath("k-info-is-fifo"))));
    ASSERT_EQ(mkfifo((backupPath("k-info-is-fifo") + "/Info.plist").c_str(), 0600), 0);
#endif
    writeFile(root_ + "/a-plain-file", "not a backup");

    AppDataScope scope(temp_.path().toUtf8());
    BackupManager manager;
    ASSERT_TRUE(manager.scanBackups());
    ASSERT_EQ(manager.backupCount(), 5u);

    const BackupInfo& upper = manager.backupAt(0);
    EXPECT_EQ(upper.path, backupPath("B-upper"));
    EXPECT_EQ(upper.deviceName, "upper");

    const BackupInfo& full = manager.backupAt(1);
    EXPECT_EQ(full.path, backupPath("b-full"));
    EXPECT_EQ(full.deviceName, "Li's iPhone");
    EXPECT_EQ(full.lastBackupDate, "2016-03-01T08:12:34Z");
    EXPECT_EQ(full.serialNumber, "F17ABC");
    EXPECT_FALSE(full.encrypted);

    EXPECT_EQ(manager.backupAt(2).deviceName, "手机");
    EXPECT_EQ(manager.backupAt(2).serialNumber, "");

    EXPECT_EQ(manager.backupAt(3).path, backupPath("d-other-case"));
    EXPECT_EQ(manager.backupAt(3).deviceName, "");
    EXPECT_EQ(manager.backupAt(3).serialNumber, "S");

    EXPECT_EQ(manager.backupAt(4).deviceName, "Serial Number");
    EXPECT_EQ(manager.backupAt(4).serialNumber, "");
    EXPECT_EQ(manager.backupAt(4).lastBackupDate, "");
}

TEST_F(BackupListTest, RefreshAppendsOnlyNewBackupsAndKeepsVanishedOnes)
{
    writeInfo("m", infoPlist("<key>Device Name</key><string>m</string>"));
    writeInfo("n", infoPlist("<key>Device Name</key><string>n</string>"));
    BackupManager manager;
    const std::vector<std::string> roots{root_.toStdString()};
    ASSERT_TRUE(manager.scanBackupRoots(roots));
    ASSERT_EQ(manager.backupCount(), 2u);

    writeInfo("a", infoPlist("<key>Device Name</key><string>a</string>"));
    ASSERT_TRUE(QDir(QString::fromStdString(backupPath("n"))).removeRecursively());
    ASSERT_TRUE(manager.scanBackupRoots(roots));
    ASSERT_EQ(manager.backupCount(), 3u);
    EXPECT_EQ(manager.backupAt(0).deviceName, "m");
    EXPECT_EQ(manager.backupAt(1).deviceName, "n");
    EXPECT_EQ(manager.backupAt(2).deviceName, "a");
}

TEST_F(BackupListTest, AddBackupAppendsEveryTimeAndRefusesUnreadableDirectories)
{
    writeInfo("m", infoPlist("<key>Serial Number</key><string>S1</string>"));
    BackupManager manager;
    EXPECT_TRUE(manager.addBackup(backupPath("m")));
    EXPECT_TRUE(manager.addBackup(backupPath("m")));
    ASSERT_EQ(manager.backupCount(), 2u);
    EXPECT_EQ(manager.backupAt(1).path, backupPath("m"));
    EXPECT_EQ(manager.backupAt(1).serialNumber, "S1");

    writeInfo("binary", "bplist00");
    EXPECT_FALSE(manager.addBackup(backupPath("binary")));
    EXPECT_FALSE(manager.addBackup(backupPath("missing")));
    EXPECT_EQ(manager.backupCount(), 2u);
}

TEST_F(BackupListTest, EntityExpansionInInfoPlistDoesNotExplode)
{
    QByteArray doctype = "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [\n<!ENTITY a0 \"xxxxxxxxxx\">\n";
    for (int i = 1; i < 12; ++i)
        doctype += QByteArray("<!ENTITY a") + QByteArray::number(i) + " \"" +
                   QByteArray("&a").append(QByteArray::number(i - 1)).append(';').repeated(10) + "\">\n";
    writeInfo("laughs", doctype + "]>\n<plist><dict><key>Device Name</key><string>&a11;</string></dict></plist>");
    BackupManager manager;
    manager.addBackup(backupPath("laughs"));
    if (manager.backupCount() == 1) {
        EXPECT_LT(manager.backupAt(0).deviceName.size(), 100u * 1024 * 1024);
    }
}

} // namespace
} // namespace talwen::backup
