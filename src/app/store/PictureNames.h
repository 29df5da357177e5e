#pragma once

#include <cstdint>

#include <QString>

namespace talwen {
namespace app {

// File names inside the picture cache, shared by the downloader that writes the
// pictures and the pages that show them. A name never holds a path separator, so a
// picture is never written outside the cache directory.

// The decimal rcFriendId + ".png".
QString contactPictureFileName(int32_t rcFriendId);

// The owner's user name + ".png", with every byte other than an ASCII letter, digit,
// "_" or "-" written as "~" and two hex digits, as is a leading digit (so an owner
// never takes a contact's name) and the first letter of a device name Windows
// reserves. Empty for an empty name or one longer than 128 bytes.
QString ownerPictureFileName(const QString& usrName);

}  // namespace app
}  // namespace talwen
