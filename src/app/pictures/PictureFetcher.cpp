#include "app/pictures/PictureFetcher.h"

#include <memory>

#include <QBuffer>
#include <QCoreApplication>
#include <QEventLoop>
#include <QImageReader>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace talwen {
namespace app {

namespace {

constexpr int kCancelPollMs = 50;

}  // namespace

PictureFetcher::PictureFetcher(QNetworkAccessManager* manager, const PictureSettings& settings,
                               std::function<bool()> cancelled)
    : manager_(manager), settings_(settings), cancelled_(std::move(cancelled)) {}

bool PictureFetcher::isWebAddress(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           !url.host().isEmpty();
}

QImage PictureFetcher::decodePicture(const QByteArray& bytes, int maxSide) {
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly)) {
        return QImage();
    }
    QImageReader reader(&buffer);
    reader.setDecideFormatFromContent(true);
    const QByteArray format = reader.format();
    if (format != "png" && format != "jpeg" && format != "gif" && format != "bmp") {
        return QImage();
    }
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty() || size.width() > maxSide || size.height() > maxSide) {
        return QImage();
    }
    QImage image;
    if (!reader.read(&image) || image.isNull()) {
        return QImage();
    }
    return image;
}

FetchResult PictureFetcher::fetch(const QString& address) {
    FetchResult result;
    if (settings_.offline) {
        result.outcome = FetchOutcome::Offline;
        return result;
    }
    if (QCoreApplication::instance() == nullptr) {
        return result;  // the local event loop needs the application object
    }
    const QUrl url(address.trimmed(), QUrl::StrictMode);
    if (!isWebAddress(url)) {
        result.outcome = FetchOutcome::BadAddress;
        return result;
    }
    if (cancelled_ && cancelled_()) {
        result.outcome = FetchOutcome::Cancelled;
        return result;
    }

    QNetworkRequest request(url);
    // Every redirect is checked here: only to http or https, and only so many.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(settings_.maxRedirects);
    std::unique_ptr<QNetworkReply> reply(manager_->get(request));
    QNetworkReply* const current = reply.get();

    QByteArray body;
    bool stopped = false;
    auto stop = [&](FetchOutcome why) {
        if (!stopped) {
            stopped = true;
            result.outcome = why;
            current->abort();
        }
    };
    const qint64 limit = settings_.maxBytes;
    auto readAvailable = [&]() {
        if (stopped) return;
        body += current->read(limit + 1 - body.size());
        if (body.size() > limit) stop(FetchOutcome::TooLarge);
    };

    QEventLoop loop;
    QObject::connect(current, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(current, &QNetworkReply::redirected, &loop, [&](const QUrl& target) {
        if (isWebAddress(target)) {
            emit current->redirectAllowed();
        } else {
            stop(FetchOutcome::BadRedirect);
        }
    });
    QObject::connect(current, &QNetworkReply::metaDataChanged, &loop, [&]() {
        bool known = false;
        const qint64 declared = current->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (known && declared > limit) stop(FetchOutcome::TooLarge);
    });
    QObject::connect(current, &QNetworkReply::readyRead, &loop, readAvailable);
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&]() { stop(FetchOutcome::TimedOut); });
    deadline.start(settings_.timeoutMs);
    QTimer cancelPoll;
    QObject::connect(&cancelPoll, &QTimer::timeout, &loop, [&]() {
        if (cancelled_ && cancelled_()) stop(FetchOutcome::Cancelled);
    });
    cancelPoll.start(kCancelPollMs);

    if (!current->isFinished()) {
        loop.exec();
    }
    deadline.stop();
    cancelPoll.stop();
    QObject::disconnect(current, nullptr, &loop, nullptr);
    readAvailable();
    if (stopped) {
        return result;
    }
    if (current->error() != QNetworkReply::NoError) {
        result.outcome = current->error() == QNetworkReply::TooManyRedirectsError ? FetchOutcome::BadRedirect
                                                                                 : FetchOutcome::NetworkError;
        return result;
    }
    result.image = decodePicture(body, settings_.maxImageSide);
    result.outcome = result.image.isNull() ? FetchOutcome::NotAPicture : FetchOutcome::Decoded;
    return result;
}

}  // namespace app
}  // namespace talwen
