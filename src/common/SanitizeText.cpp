#include "common/CommonFacility.h"
#include "common/UnicodePrintableTable.h"

namespace talwen {
namespace common {

bool isPrintableCodePoint(uint32_t codePoint) {
    if (codePoint > 0x10FFFF) return false;
    const uint8_t* block = kUnicodeKeptBlocks[kUnicodeKeptBlockIndex[codePoint >> 8]];
    return (block[(codePoint & 0xFF) >> 3] >> (codePoint & 7)) & 1;
}

namespace {

bool isContinuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

// Malformed input is dropped byte-wise: a byte that cannot start a sequence is
// skipped alone; a lead byte with too few continuation bytes is skipped with the
// continuation bytes it has, and decoding resumes at the first byte that is not one
// (it may start a valid character); an overlong form and a value above U+10FFFF
// are skipped whole. Surrogates decoded from UTF-8 fall out through the table
// (category Cs). Everything kept is written back byte for byte as it was read.
std::string sanitizeText(const std::string& utf8) {
    static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    std::string out;
    out.reserve(utf8.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data());
    const size_t size = utf8.size();
    size_t i = 0;
    while (i < size) {
        const uint8_t lead = bytes[i];
        uint32_t cp = 0;
        size_t following = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            cp = lead & 0x1F;
            following = 1;
        } else if ((lead & 0xF0) == 0xE0) {
            cp = lead & 0x0F;
            following = 2;
        } else if ((lead & 0xF8) == 0xF0) {
            cp = lead & 0x07;
            following = 3;
        } else {
            ++i;  // continuation byte or 0xF8..0xFF: cannot start a sequence
            continue;
        }
        size_t j = i + 1;
        while (j < size && j <= i + following && isContinuation(bytes[j])) {
            cp = (cp << 6) | (bytes[j] & 0x3F);
            ++j;
        }
        const bool complete = (j == i + 1 + following);
        i = j;
        if (!complete || cp < kMinimum[following]) continue;
        if (isPrintableCodePoint(cp)) appendUtf8(out, cp);
    }
    return out;
}

}  // namespace common
}  // namespace talwen
