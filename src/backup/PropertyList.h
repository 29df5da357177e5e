#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

namespace talwen::backup {

// The few property-list conversions the backup layer needs, done with libplist.
// Inputs are untrusted bytes; failures give an empty result, never an exception.
//
// libplist recurses once per nesting level and copies an object once for every
// reference to it, so its input is checked first: a binary list by walking its
// offset table with strict bounds (nesting depth, objects and bytes of the tree it
// expands to, see InputLimits), an XML list by a streaming pass (BoundedXml).
class PropertyList {
public:
    static constexpr const char* kBinaryMagic = "bplist00";

    // Why libplist was not given an input.
    enum class Refusal { None, Malformed, TooDeep, TooManyObjects, TooManyBytes };

    static bool isBinary(const QByteArray& data);

    // A binary property list converted to its XML text; nothing when libplist
    // cannot decode it or the list is refused (*refusal says why when given).
    static std::optional<QString> binaryToXml(const QByteArray& data, Refusal* refusal = nullptr);

    // True when data (binary or XML) is a dictionary whose "IsEncrypted" is the
    // boolean true, as in the Manifest.plist of an encrypted backup.
    static bool saysEncrypted(const QByteArray& data, Refusal* refusal = nullptr);

    // The data value under key of a top-level dictionary (binary or XML), as the
    // keybag and manifest key of an encrypted backup's Manifest.plist; nothing when
    // there is none or the list is refused.
    static std::optional<QByteArray> dataItem(const QByteArray& data, const char* key, Refusal* refusal = nullptr);

    // Checks a binary property list before libplist sees it: offsets, counts and
    // references inside the file, no reference cycle, and the tree it expands to
    // within the limits.
    static Refusal checkBinary(const QByteArray& data);

    // The limit a refusal names, for a warning line ("Nesting depth", ...), and
    // its value; nothing for None and Malformed.
    static const char* limitName(Refusal refusal);
    static std::uint64_t limitValue(Refusal refusal);
};

} // namespace talwen::backup
