#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>

#include <gtest/gtest.h>

#include "app/pictures/LoopbackPictureServer.h"
#include "app/pictures/PictureDownloader.h"

using talwen::app::ContactPictureBatch;
using talwen::app::FriendEntry;
using talwen::app::OwnerPicture;
using talwen::app::PictureDownloader;
using talwen::app::PictureSettings;

namespace {

constexpr int kWaitMs = 60000;  // a bound for jobs that end in well under a second

QByteArray encoded(int side, const char* format, QRgb colour = qRgb(200, 40, 40)) {
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

FriendEntry contact(int32_t id, const QString& address) {
    FriendEntry entry;
    entry.rcFriendId = id;
    entry.usrName = QStringLiteral("user%1").arg(id);
    entry.headImgUrl = address;
    return entry;
}

// Everything a contact job reported, in order.
struct Reports {
    std::mutex mutex;
    std::vector<ContactPictureBatch> batches;

    PictureDownloader::ContactBatchCallback callback() {
        return [this](const ContactPictureBatch& batch) {
            std::lock_guard<std::mutex> lock(mutex);
            batches.push_back(batch);
        };
    }
    std::vector<std::vector<int32_t>> ids() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::vector<int32_t>> result;
        for (const auto& batch : batches) result.push_back(batch.rcFriendIds);
        return result;
    }
};

std::set<std::string> filesIn(const QString& directory) {
    std::set<std::string> names;
    for (const QString& name : QDir(directory).entryList(QDir::Files | QDir::Hidden)) {
        names.insert(name.toStdString());
    }
    return names;
}

class PictureDownloaderTest : public ::testing::Test {
protected:
    // The downloads wait in local event loops, which need the application object
    // a window has; these tests make one for themselves.
    static void SetUpTestSuite() {
        if (QCoreApplication::instance() == nullptr) {
            static int argc = 1;
            static char name[] = "app_tests";
            static char* argv[] = {name, nullptr};
            application = new QCoreApplication(argc, argv);
        }
    }
    static void TearDownTestSuite() {
        delete application;
        application = nullptr;
    }
    static QCoreApplication* application;

    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        cache = root.path() + "/cache";
        png = encoded(32, "PNG");
        server.route("/good.png", LoopbackPictureServer::ok(png, "image/png"));
        server.route("/photo.jpg", LoopbackPictureServer::ok(encoded(24, "JPEG"), "image/jpeg"));
        server.route("/text", LoopbackPictureServer::ok("<html>not a picture</html>", "image/png"));
        server.route("/missing-png", LoopbackPictureServer::Response{
                                         "HTTP/1.1 404 Not Found\r\nContent-Length: " + QByteArray::number(png.size()),
                                         png, false});
        QByteArray huge = png;
        huge.append(QByteArray(5 * 1024 * 1024, '\0'));  // a valid picture followed by padding
        server.route("/huge-declared", LoopbackPictureServer::ok(huge, "image/png"));
        server.route("/huge-streamed", LoopbackPictureServer::ok(huge, "image/png", false));
        server.route("/silent", LoopbackPictureServer::Response{QByteArray(), QByteArray(), true});
        server.route("/wide.png", LoopbackPictureServer::ok(encoded(100, "PNG"), "image/png"));
        server.route("/to-good", LoopbackPictureServer::redirect(server.url("/good.png").toLatin1()));
        // A picture on this computer that a followed redirect would copy into the cache.
        localPicture = root.path() + "/local.png";
        QFile file(localPicture);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(png);
        file.close();
        server.route("/to-file", LoopbackPictureServer::redirect("file://" + localPicture.toUtf8()));
        server.route("/to-ftp", LoopbackPictureServer::redirect("ftp://127.0.0.1/good.png"));

        settings.timeoutMs = 500;  // the silent server
        settings.maxImageSide = 64;
    }

    QTemporaryDir root;
    QString cache;
    QString localPicture;
    QByteArray png;
    LoopbackPictureServer server;
    PictureSettings settings;
};

QCoreApplication* PictureDownloaderTest::application = nullptr;

}  // namespace

TEST_F(PictureDownloaderTest, SavesDecodedPicturesOnlyAndReportsThem) {
    const struct {
        const char* what;
        QString address;
        bool saved;
    } cases[] = {
        {"PNG", server.url("/good.png"), true},
        {"JPEG, saved as PNG", server.url("/photo.jpg"), true},
        {"redirect to http", server.url("/to-good"), true},
        {"body that is no picture", server.url("/text"), false},
        {"picture with an HTTP error", server.url("/missing-png"), false},
        {"declared length over 5 MB", server.url("/huge-declared"), false},
        {"body over 5 MB without a length", server.url("/huge-streamed"), false},
        {"server that never answers", server.url("/silent"), false},
        {"picture larger than allowed", server.url("/wide.png"), false},
        {"redirect to a file", server.url("/to-file"), false},
        {"redirect to ftp", server.url("/to-ftp"), false},
        {"unreachable port", QStringLiteral("http://127.0.0.1:%1/good.png").arg(closedLoopbackPort()), false},
        {"file address", QUrl::fromLocalFile(localPicture).toString(), false},
        {"ftp address", QStringLiteral("ftp://127.0.0.1/good.png"), false},
        {"relative address", QStringLiteral("good.png"), false},
        {"no address", QString(), false},
    };
    std::vector<FriendEntry> contacts;
    std::vector<int32_t> savedIds;
    std::set<std::string> savedFiles;
    int32_t id = 100;
    for (const auto& c : cases) {
        contacts.push_back(contact(++id, c.address));
        if (c.saved) {
            savedIds.push_back(id);
            savedFiles.insert(std::to_string(id) + ".png");
        }
    }

    Reports reports;
    {
        PictureDownloader downloader(cache, settings);
        downloader.downloadContactPictures(contacts, reports.callback());
        ASSERT_TRUE(downloader.waitForIdle(kWaitMs));
    }

    EXPECT_EQ(savedFiles, filesIn(cache));
    ASSERT_EQ(1u, reports.batches.size());
    EXPECT_TRUE(reports.batches[0].last);
    EXPECT_EQ(savedIds, reports.batches[0].rcFriendIds);
    for (size_t i = 0; i < contacts.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        const QImage saved(cache + "/" + QString::number(contacts[i].rcFriendId) + ".png", "PNG");
        EXPECT_EQ(cases[i].saved, !saved.isNull());
    }
    EXPECT_EQ(2, server.requests("/good.png")) << "only the PNG and the http redirect fetch it";
    EXPECT_EQ(filesIn(root.path()), (std::set<std::string>{"local.png"})) << "nothing beside the cache";
}

TEST_F(PictureDownloaderTest, ReportsBatchesOfTenThenTheRest) {
    const struct {
        int saved;
        std::vector<size_t> batchSizes;
    } cases[] = {
        {25, {10, 10, 5}},
        {20, {10, 10, 0}},
        {3, {3}},
        {0, {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.saved);
        std::vector<FriendEntry> contacts;
        std::vector<int32_t> expectedIds;
        for (int i = 1; i <= c.saved; ++i) {
            contacts.push_back(contact(i, server.url("/good.png")));
            expectedIds.push_back(i);
            // Contacts without a usable picture are never part of a batch.
            contacts.push_back(contact(1000 + i, i % 2 ? QString() : server.url("/text")));
        }
        Reports reports;
        PictureDownloader downloader(cache, settings);
        downloader.downloadContactPictures(contacts, reports.callback());
        ASSERT_TRUE(downloader.waitForIdle(kWaitMs));

        std::vector<size_t> sizes;
        std::vector<int32_t> ids;
        for (const auto& batch : reports.ids()) {
            sizes.push_back(batch.size());
            ids.insert(ids.end(), batch.begin(), batch.end());
        }
        EXPECT_EQ(c.batchSizes, sizes);
        EXPECT_EQ(expectedIds, ids);
        for (size_t i = 0; i < reports.batches.size(); ++i) {
            EXPECT_EQ(i + 1 == reports.batches.size(), reports.batches[i].last);
        }
        QDir(cache).removeRecursively();
    }
}

TEST_F(PictureDownloaderTest, OfflineFetchesNothing) {
    settings.offline = true;
    Reports reports;
    std::vector<QString> owners;
    {
        PictureDownloader downloader(cache, settings);
        downloader.downloadContactPictures({contact(1, server.url("/good.png")), contact(2, server.url("/photo.jpg"))},
                                           reports.callback());
        downloader.downloadOwnerPictures({{"wxid_me", server.url("/good.png")}},
                                         [&](const std::vector<QString>& saved) { owners = saved; });
        ASSERT_TRUE(downloader.waitForIdle(kWaitMs));
    }
    EXPECT_EQ(0, server.totalRequests());
    EXPECT_TRUE(filesIn(cache).empty());
    ASSERT_EQ(1u, reports.batches.size());
    EXPECT_TRUE(reports.batches[0].rcFriendIds.empty());
    EXPECT_TRUE(reports.batches[0].last);
    EXPECT_TRUE(owners.empty());
}

TEST_F(PictureDownloaderTest, OwnerPicturesKeepTheirOldFileUnlessANewPictureDecodes) {
    ASSERT_TRUE(QDir().mkpath(cache));
    QFile old(cache + "/wxid_keep.png");
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("old picture");
    old.close();

    std::vector<QString> saved;
    {
        PictureDownloader downloader(cache, settings);
        downloader.downloadOwnerPictures({{"wxid_me", server.url("/good.png")},
                                          {"wxid_keep", server.url("/text")},
                                          {"1234", server.url("/photo.jpg")},
                                          {"../../escaped", server.url("/good.png")},
                                          {"", server.url("/good.png")}},
                                         [&](const std::vector<QString>& names) { saved = names; });
        ASSERT_TRUE(downloader.waitForIdle(kWaitMs));
    }
    EXPECT_EQ((std::vector<QString>{"wxid_me", "1234", "../../escaped"}), saved);
    EXPECT_EQ((std::set<std::string>{"wxid_me.png", "wxid_keep.png", "~31234.png", "~2e~2e~2f~2e~2e~2fescaped.png"}),
              filesIn(cache));
    QFile kept(cache + "/wxid_keep.png");
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(QByteArray("old picture"), kept.readAll());
    EXPECT_EQ(filesIn(root.path()), (std::set<std::string>{"local.png"}));
}

TEST_F(PictureDownloaderTest, CancelEndsTheRunningJobAndTheQueuedOnes) {
    settings.timeoutMs = 10 * 60 * 1000;  // only a cancel ends a request to the silent server
    Reports first;
    Reports queued;
    PictureDownloader downloader(cache, settings);
    std::vector<FriendEntry> contacts;
    for (int i = 1; i <= 5; ++i) contacts.push_back(contact(i, server.url("/silent")));
    downloader.downloadContactPictures(contacts, first.callback());
    downloader.downloadContactPictures({contact(9, server.url("/good.png"))}, queued.callback());
    while (server.requests("/silent") == 0) QThread::msleep(5);

    downloader.cancel();
    ASSERT_TRUE(downloader.waitForIdle(kWaitMs));
    EXPECT_EQ(1, server.requests("/silent"));
    EXPECT_EQ(0, server.requests("/good.png"));
    EXPECT_EQ((std::vector<std::vector<int32_t>>{{}}), first.ids());
    EXPECT_EQ((std::vector<std::vector<int32_t>>{{}}), queued.ids());

    // Jobs asked for after the cancel run as usual.
    Reports later;
    downloader.downloadContactPictures({contact(9, server.url("/good.png"))}, later.callback());
    ASSERT_TRUE(downloader.waitForIdle(kWaitMs));
    EXPECT_EQ((std::vector<std::vector<int32_t>>{{9}}), later.ids());
}
