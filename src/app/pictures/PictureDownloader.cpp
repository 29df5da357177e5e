#include "app/pictures/PictureDownloader.h"

#include <chrono>

#include <QNetworkAccessManager>
#include <QThread>

#include "app/pictures/PictureCache.h"
#include "app/pictures/PictureFetcher.h"
#include "app/store/PictureNames.h"

namespace talwen {
namespace app {

PictureDownloader::PictureDownloader(const QString& cacheDirectory, const PictureSettings& settings)
    : cacheDirectory_(cacheDirectory), settings_(settings) {
    thread_.reset(QThread::create([this]() { workerLoop(); }));
    thread_->setObjectName(QStringLiteral("PictureDownloader"));
    thread_->start();
}

PictureDownloader::~PictureDownloader() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        cancelledThrough_ = lastEpoch_;
    }
    changed_.notify_all();
    thread_->wait();
}

void PictureDownloader::submit(JobRun run) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(Job{++lastEpoch_, std::move(run)});
    }
    changed_.notify_all();
}

void PictureDownloader::cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelledThrough_ = lastEpoch_;
}

bool PictureDownloader::waitForIdle(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [this]() { return jobs_.empty() && !running_; });
}

void PictureDownloader::workerLoop() {
    QNetworkAccessManager manager;  // lives on this thread, as its replies must
    while (true) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this]() { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) {
                return;  // stopping
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
            running_ = true;
        }
        const uint64_t epoch = job.epoch;
        const std::function<bool()> cancelled = [this, epoch]() { return epoch <= cancelledThrough_.load(); };
        PictureFetcher fetcher(&manager, settings_, cancelled);
        job.run(fetcher, cancelled);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            running_ = false;
        }
        changed_.notify_all();
    }
}

void PictureDownloader::downloadContactPictures(const std::vector<FriendEntry>& contacts,
                                                ContactBatchCallback onBatch) {
    struct Wanted {
        int32_t rcFriendId;
        QString address;
    };
    std::vector<Wanted> wanted;
    for (const FriendEntry& contact : contacts) {
        if (!contact.headImgUrl.isEmpty()) {
            wanted.push_back(Wanted{contact.rcFriendId, contact.headImgUrl});
        }
    }
    const QString directory = cacheDirectory_;
    submit([wanted = std::move(wanted), onBatch = std::move(onBatch), directory](
               PictureFetcher& fetcher, const std::function<bool()>& cancelled) {
        const PictureCache cache(directory);
        ContactPictureBatch batch;
        for (const Wanted& contact : wanted) {
            if (cancelled()) {
                break;
            }
            const FetchResult fetched = fetcher.fetch(contact.address);
            if (fetched.outcome == FetchOutcome::Decoded &&
                cache.save(contactPictureFileName(contact.rcFriendId), fetched.image)) {
                batch.rcFriendIds.push_back(contact.rcFriendId);
                if (batch.rcFriendIds.size() == kBatchSize) {
                    if (onBatch) onBatch(batch);
                    batch.rcFriendIds.clear();
                }
            }
        }
        batch.last = true;
        if (onBatch) onBatch(batch);
    });
}

void PictureDownloader::downloadOwnerPictures(const std::vector<OwnerPicture>& owners, OwnersCallback onDone) {
    const QString directory = cacheDirectory_;
    submit([owners, onDone = std::move(onDone), directory](PictureFetcher& fetcher,
                                                           const std::function<bool()>& cancelled) {
        const PictureCache cache(directory);
        std::vector<QString> saved;
        for (const OwnerPicture& owner : owners) {
            if (cancelled()) {
                break;
            }
            const QString name = ownerPictureFileName(owner.usrName);
            if (name.isEmpty() || owner.headImgUrl.isEmpty()) {
                continue;
            }
            const FetchResult fetched = fetcher.fetch(owner.headImgUrl);
            if (fetched.outcome == FetchOutcome::Decoded && cache.save(name, fetched.image)) {
                saved.push_back(owner.usrName);
            }
        }
        if (onDone) onDone(saved);
    });
}

}  // namespace app
}  // namespace talwen
