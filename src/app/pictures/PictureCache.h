#pragma once

#include <QImage>
#include <QString>

namespace talwen {
namespace app {

// The directory of downloaded pictures, named as store/PictureNames.h says.
class PictureCache {
public:
    explicit PictureCache(const QString& directory);

    const QString& directory() const { return directory_; }
    // The path of a file name in the cache; empty for a name that is empty, begins
    // with a dot or holds a path separator (it could reach outside the cache).
    QString path(const QString& fileName) const;
    // Saves the picture as PNG under `fileName`, creating the directory, replacing an
    // older file only once the new one is complete.
    bool save(const QString& fileName, const QImage& picture) const;

private:
    QString directory_;
};

}  // namespace app
}  // namespace talwen
