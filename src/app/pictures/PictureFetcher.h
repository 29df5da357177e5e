#pragma once

#include <functional>

#include <QByteArray>
#include <QImage>
#include <QString>

#include "app/pictures/PictureSettings.h"

class QNetworkAccessManager;
class QUrl;

namespace talwen {
namespace app {

// Why a fetch gave no picture.
enum class FetchOutcome {
    Decoded,
    Offline,
    Cancelled,
    BadAddress,   // not an absolute http or https address
    BadRedirect,  // a redirect to another scheme, or too many
    NetworkError, // connection, HTTP status or protocol
    TimedOut,
    TooLarge,
    NotAPicture,  // a body that no allowed picture format decodes
};

struct FetchResult {
    FetchOutcome outcome = FetchOutcome::NetworkError;
    QImage image;  // set for Decoded only
};

// Fetches one picture at a time with a local event loop, on the thread that owns
// `manager` (a QThread). The process needs its QCoreApplication (or QApplication);
// without one nothing is fetched. `cancelled` is polled while a request runs and
// ends it early.
class PictureFetcher {
public:
    PictureFetcher(QNetworkAccessManager* manager, const PictureSettings& settings,
                   std::function<bool()> cancelled);

    FetchResult fetch(const QString& address);

    // An absolute http or https address with a host.
    static bool isWebAddress(const QUrl& url);
    // PNG, JPEG, GIF or BMP, detected from the bytes, at most maxSide wide and high;
    // a null image otherwise.
    static QImage decodePicture(const QByteArray& bytes, int maxSide);

private:
    QNetworkAccessManager* manager_;
    PictureSettings settings_;
    std::function<bool()> cancelled_;
};

}  // namespace app
}  // namespace talwen
