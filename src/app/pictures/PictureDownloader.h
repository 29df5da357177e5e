#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <QString>

#include "app/pictures/PictureSettings.h"
#include "app/store/FriendEntry.h"

class QThread;

namespace talwen {
namespace app {

class PictureFetcher;

// An account owner whose picture is wanted: the cache file is named by usrName.
struct OwnerPicture {
    QString usrName;
    QString headImgUrl;
};

// Contacts whose cache files were just written.
struct ContactPictureBatch {
    std::vector<int32_t> rcFriendIds;
    bool last = false;  // the job has ended (done or cancelled); may be empty
};

// Downloads contact and owner pictures into a picture cache directory on a worker
// thread of its own, one picture at a time (the network manager lives on that
// thread). Jobs run in the order they were asked for.
//
// Contacts: every contact with a picture address, in list order; a decoded picture
// is saved as PNG under the decimal rcFriendId, and every 10 saved contacts are
// reported, then the rest with `last` set (25 saved: 10, 10, 5). Owners: each
// owner's picture is saved under its sanitised user name, the old file replaced
// only by a decoded picture; the names saved are reported once at the end.
// Failures (address, network, HTTP, time-out, size, not a picture) write nothing.
//
// The process needs its QCoreApplication (the window's QApplication); without one
// nothing is fetched.
//
// Threads: the callbacks run on the worker thread. They must not touch widgets; a
// window turns them into queued signals. The public functions may be called from
// any thread. The destructor cancels and waits for the worker; callbacks must not
// destroy the downloader.
class PictureDownloader {
public:
    static constexpr size_t kBatchSize = 10;
    using ContactBatchCallback = std::function<void(const ContactPictureBatch&)>;
    using OwnersCallback = std::function<void(const std::vector<QString>& savedUsrNames)>;

    explicit PictureDownloader(const QString& cacheDirectory, const PictureSettings& settings = PictureSettings());
    ~PictureDownloader();
    PictureDownloader(const PictureDownloader&) = delete;
    PictureDownloader& operator=(const PictureDownloader&) = delete;

    void downloadContactPictures(const std::vector<FriendEntry>& contacts, ContactBatchCallback onBatch);
    void downloadOwnerPictures(const std::vector<OwnerPicture>& owners, OwnersCallback onDone);

    // Ends every job asked for so far: the running one within a moment (its last
    // report still comes, with what was saved), the queued ones at once with empty
    // reports. Later jobs run normally.
    void cancel();
    // Waits until no job is queued or running; false when the time ran out.
    bool waitForIdle(int timeoutMs);

private:
    // A job gets a fetcher whose requests end when the job is cancelled, and the
    // cancel test itself.
    using JobRun = std::function<void(PictureFetcher& fetcher, const std::function<bool()>& cancelled)>;
    struct Job {
        uint64_t epoch = 0;
        JobRun run;
    };

    void submit(JobRun run);
    void workerLoop();

    QString cacheDirectory_;
    PictureSettings settings_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> jobs_;
    bool running_ = false;
    bool stopping_ = false;
    uint64_t lastEpoch_ = 0;
    std::atomic<uint64_t> cancelledThrough_{0};
    std::unique_ptr<QThread> thread_;
};

}  // namespace app
}  // namespace talwen
