#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>

namespace talwen::backup {

// Bounds on what a backup or a message may make the program do before it is
// trusted. Genuine backups stay far below every one; an input beyond one is
// refused whole, and the refusal is one warning line naming the file and the limit.
struct InputLimits {
    // Elements inside one another in an XML document (property lists, message
    // payloads) and containers inside one another in a binary property list. The
    // DOM and libplist recurse once per level, so deeper input would end the
    // process with a stack overflow.
    static constexpr int kMaxNestingDepth = 128;

    // A binary property list whose objects refer to one object twice is expanded
    // by libplist into two copies; these bound the tree it expands to: its
    // objects, and the bytes of its strings and data. A list without shared
    // references stays within the byte limit by the file size limits below.
    static constexpr std::uint64_t kMaxPlistObjects = 200000;
    static constexpr std::uint64_t kMaxPlistExpandedBytes = 64ULL << 20;

    // Files read whole into memory.
    static constexpr std::int64_t kMaxInfoPlistBytes = 64LL << 20;
    static constexpr std::int64_t kMaxManifestPlistBytes = 64LL << 20;
    static constexpr std::int64_t kMaxSettingsBytes = 16LL << 20;
    static constexpr std::int64_t kMaxManifestMbdbBytes = 128LL << 20;

    // Records kept from one manifest (a record costs a few hundred bytes).
    static constexpr std::size_t kMaxManifestRecords = 500000;

    // Encrypted backups. Iterations of one key derivation step: iOS writes ten
    // million (DPIC) and ten thousand (ITER); a keybag asking for far more would
    // keep the program busy for minutes per attempt.
    static constexpr std::uint32_t kMaxKeyDerivationIterations = 50000000;
    // Class keys of one keybag (iOS has about a dozen protection classes).
    static constexpr std::size_t kMaxKeybagClasses = 64;
    // The "file" column of one Manifest.db row, a keyed archive of a few hundred bytes.
    static constexpr std::int64_t kMaxFileRecordBytes = 1LL << 20;

    // Writes "<quantity> of file[<path>] is beyond limit[<limit>]!" as one warning line.
    static void reportExceeded(const char* quantity, const QString& path, std::uint64_t limit);
    static QString exceededText(const char* quantity, const QString& path, std::uint64_t limit);
};

} // namespace talwen::backup
