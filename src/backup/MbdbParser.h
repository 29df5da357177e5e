#pragma once

#include "backup/MbdbRecord.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace talwen::backup {

// Decodes the bytes of a Manifest.mbdb (big-endian):
//   header "mbdb" 0x05 0x00, then records until the end of the input.
// A record is domain, path, link target (strings), data hash, encryption key
// (data strings), 40 fixed bytes and propertyCount (name string, value data string)
// pairs. A string is a 2-byte length L and L bytes; L = 0xFFFF is the empty string.
// Never reads outside [data, data + size); a record cut off by the end of the input
// is dropped and the records before it are kept. Pure functions, thread-safe.
class MbdbParser {
public:
    // Which records a parse keeps: those of one domain (all when empty), at most
    // maxRecords of them. Dropping the others as they are read keeps the memory of
    // a large manifest to the records the caller needs.
    struct Selection {
        std::string domain;
        std::size_t maxRecords = SIZE_MAX;
    };

    static std::vector<MbdbRecord> parse(const std::uint8_t* data, std::size_t size);
    // The selected records; *overLimit (when given) tells whether the parse
    // stopped because more than maxRecords were found.
    static std::vector<MbdbRecord> parse(const std::uint8_t* data, std::size_t size, const Selection& selection,
                                         bool* overLimit);

    // Text of a data string: the bytes unchanged when all lie in 0x20..0x7F, else
    // upper-case hexadecimal, two digits per byte.
    static std::string dataStringText(const std::uint8_t* bytes, std::size_t size);

    // The 40 fixed bytes as upper-case hexadecimal in groups of 2, 4, 4, 4, 4, 4, 4,
    // 4, 8, 1 and 1 bytes separated by one blank. Precondition: 40 bytes readable.
    static std::string statText(const std::uint8_t* fixed);
};

} // namespace talwen::backup
