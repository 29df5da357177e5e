#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace talwen::backup {

// The few property-list conversions the backup layer needs, done with libplist.
// Inputs are untrusted bytes; failures give an empty result, never an exception.
class PropertyList {
public:
    static constexpr const char* kBinaryMagic = "bplist00";

    static bool isBinary(const QByteArray& data);

    // A binary property list converted to its XML text; nothing when libplist
    // cannot decode it.
    static std::optional<QString> binaryToXml(const QByteArray& data);

    // True when data (binary or XML) is a dictionary whose "IsEncrypted" is the
    // boolean true, as in the Manifest.plist of an encrypted backup.
    static bool saysEncrypted(const QByteArray& data);
};

} // namespace talwen::backup
