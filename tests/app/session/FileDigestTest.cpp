#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/session/FileDigest.h"
#include "app/session/ScanReport.h"

using talwen::app::FileDigest;
using talwen::app::ScanReport;

namespace {

QString writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return path;
}

}  // namespace

TEST(FileDigestTest, BlockwiseDigestEqualsTheDigestOfTheWholeFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // Known vectors, and sizes around the read block (1 MiB).
    const FileDigest abc = FileDigest::of(writeFile(dir.path() + "/abc", "abc"));
    ASSERT_TRUE(abc.ok);
    EXPECT_EQ(3, abc.size);
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", abc.sha256.toStdString());
    EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
              FileDigest::of(writeFile(dir.path() + "/empty", "")).sha256.toStdString());
    for (const int size : {(1 << 20) - 1, 1 << 20, (3 << 20) + 5}) {
        QByteArray bytes(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131) ^ (i >> 9));
        const FileDigest digest = FileDigest::of(writeFile(dir.path() + "/big", bytes));
        EXPECT_EQ(size, digest.size);
        EXPECT_EQ(QString(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()), digest.sha256) << size;
    }
    EXPECT_FALSE(FileDigest::of(dir.path() + "/missing").ok);
    EXPECT_FALSE(FileDigest::of(dir.path()).ok);  // a directory reads nothing
}

TEST(FileDigestTest, ReportSaysUnchangedOnlyForTwoEqualDigests) {
    FileDigest a;
    a.ok = true;
    a.size = 3;
    a.sha256 = "x";
    FileDigest b = a;
    ScanReport report;
    report.sourceFile = "/db";
    report.before = a;
    report.after = b;
    EXPECT_TRUE(report.sourceUnchanged());
    report.after.sha256 = "y";
    EXPECT_FALSE(report.sourceUnchanged());
    report.after = FileDigest();  // unreadable after the scan
    EXPECT_FALSE(report.sourceUnchanged());
    const QJsonObject json = report.toJson();
    EXPECT_FALSE(json["source"].toObject()["unchanged"].toBool(true));
    EXPECT_TRUE(json["source"].toObject()["after"].toObject()["sha256"].isNull());
    // The rejections are always reported, 0 until the recovery counts them.
    EXPECT_EQ(0, json["rejections"].toObject()["plausibility"].toInt(-1));
}
