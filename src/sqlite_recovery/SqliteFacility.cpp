#include "sqlite_recovery/SqliteFacility.h"

#include <cstring>

#define WCR_UNIT "sqlite_recovery/SqliteFacility"

namespace talwen {
namespace sqlite {

using common::ErrorInfo;

namespace {

// Decodes one varint without touching the ErrorInfo on success, so that a
// sequence of varints clears it only once.
bool decodeVarint(const uint8_t* bytes, uint32_t available, int64_t& value, uint32_t& consumed) {
    if (available == 0) return false;
    uint64_t v = bytes[0] & 0x7F;
    if ((bytes[0] & 0x80) == 0) {
        value = static_cast<int64_t>(v);
        consumed = 1;
        return true;
    }
    for (uint32_t i = 1;; ++i) {
        if (i == available) return false;
        if (i == 8) {
            v = (v << 8) | bytes[8];
            value = static_cast<int64_t>(v);
            consumed = 9;
            return true;
        }
        v = (v << 7) | (bytes[i] & 0x7F);
        if ((bytes[i] & 0x80) == 0) {
            value = static_cast<int64_t>(v);
            consumed = i + 1;
            return true;
        }
    }
}

void setVarintOverflow(ErrorInfo* error) {
    WCR_SET_ERROR(error, -2, "parse varint overflow!", "parseVarint");
}

std::string overflowMessage(const char* kind, uint32_t required, uint32_t available) {
    return std::string(kind) + " required valueBytes[" + std::to_string(required) +
           "] overflow to buffLength[" + std::to_string(available) + "]!";
}

std::string wrongClassMessage(int64_t serialType, const char* kind) {
    return "FieldType[" + std::to_string(serialType) + "] not " + kind + "!";
}

// Length of a text or blob value. A garbage serial type can announce more than
// 4 GiB; such a length saturates instead of wrapping, so that it can never pass
// the shortage check as a small value.
uint32_t variableLength(int64_t serialType, int64_t base) {
    const uint64_t length = static_cast<uint64_t>(serialType - base) / 2;
    return length > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length);
}

}  // namespace

int64_t parseVarint(const uint8_t* bytes, uint32_t available, uint32_t& consumed, ErrorInfo* error) {
    int64_t value = 0;
    if (!decodeVarint(bytes, available, value, consumed)) {
        setVarintOverflow(error);
        return 0;
    }
    error->clear();
    return value;
}

void parseVarints(const uint8_t* bytes, uint32_t available, uint32_t maxCount,
                  std::vector<int64_t>& varints, uint32_t& consumed, ErrorInfo* error) {
    error->clear();
    varints.clear();
    consumed = 0;
    while (consumed < available && varints.size() < maxCount) {
        int64_t value = 0;
        uint32_t length = 0;
        if (!decodeVarint(bytes + consumed, available - consumed, value, length)) {
            setVarintOverflow(error);
            return;
        }
        varints.push_back(value);
        consumed += length;
    }
}

std::vector<int64_t> parseVarints(const uint8_t* bytes, uint32_t available, uint32_t maxCount,
                                  uint32_t& consumed, ErrorInfo* error) {
    std::vector<int64_t> varints;
    parseVarints(bytes, available, maxCount, varints, consumed, error);
    return varints;
}

int64_t parseIntegerValue(const uint8_t* bytes, uint32_t available, int64_t serialType,
                          uint32_t& consumed, ErrorInfo* error) {
    error->clear();
    static const uint32_t kWidths[] = {0, 1, 2, 3, 4, 6, 8};
    if (serialType == 0 || serialType == 8) {
        consumed = 0;
        return 0;
    }
    if (serialType == 9) {
        consumed = 0;
        return 1;
    }
    if (serialType < 1 || serialType > 6) {
        WCR_SET_ERROR(error, -1, wrongClassMessage(serialType, "INTEGER"), "parseIntegerValue");
        return 0;
    }
    const uint32_t width = kWidths[serialType];
    consumed = width;
    if (width > available) {
        WCR_SET_ERROR(error, -2, overflowMessage("INTEGER", width, available), "parseIntegerValue");
        return 0;
    }
    uint64_t raw = readBigEndian(bytes, width);
    if (width < 8 && (bytes[0] & 0x80) != 0) raw |= ~uint64_t(0) << (8 * width);
    return static_cast<int64_t>(raw);
}

double parseRealValue(const uint8_t* bytes, uint32_t available, uint32_t& consumed, ErrorInfo* error) {
    if (available < 8) {
        WCR_SET_ERROR(error, -2, overflowMessage("REAL", 8, available), "parseRealValue");
        return 0.0;
    }
    const uint64_t raw = readBigEndian(bytes, 8);
    double value = 0.0;
    std::memcpy(&value, &raw, sizeof value);
    consumed = 8;
    error->clear();
    return value;
}

std::string parseTextValue(const uint8_t* bytes, uint32_t available, int64_t serialType,
                           uint32_t& consumed, ErrorInfo* error) {
    if (!isText(serialType)) {
        WCR_SET_ERROR(error, -1, wrongClassMessage(serialType, "TEXT"), "parseTextValue");
        return std::string();
    }
    const uint32_t length = variableLength(serialType, 13);
    consumed = length;
    if (length > available) {
        WCR_SET_ERROR(error, -2, overflowMessage("TEXT", length, available), "parseTextValue");
        return std::string();
    }
    error->clear();
    return std::string(reinterpret_cast<const char*>(bytes), length);
}

ByteArray parseBlobValue(const uint8_t* bytes, uint32_t available, int64_t serialType,
                         uint32_t& consumed, ErrorInfo* error) {
    if (!isBlob(serialType)) {
        WCR_SET_ERROR(error, -1, wrongClassMessage(serialType, "BLOB"), "parseBlobValue");
        return ByteArray();
    }
    const uint32_t length = variableLength(serialType, 12);
    consumed = length;
    if (length > available) {
        WCR_SET_ERROR(error, -2, overflowMessage("BLOB", length, available), "parseBlobValue");
        return ByteArray();
    }
    ByteArray blob(new uint8_t[length]);
    if (length > 0) std::memcpy(blob.get(), bytes, length);
    error->clear();
    return blob;
}

uint64_t readBigEndian(const uint8_t* bytes, uint32_t count) {
    uint64_t value = 0;
    for (uint32_t i = 0; i < count; ++i) value = (value << 8) | bytes[i];
    return value;
}

namespace {
void appendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}
}  // namespace

std::string utf16ToUtf8(const std::string& utf16, bool bigEndian) {
    constexpr uint32_t kReplacement = 0xFFFD;
    const auto unit = [&utf16, bigEndian](size_t i) -> uint32_t {
        const uint32_t a = static_cast<uint8_t>(utf16[i]);
        const uint32_t b = static_cast<uint8_t>(utf16[i + 1]);
        return bigEndian ? (a << 8) | b : (b << 8) | a;
    };
    std::string out;
    out.reserve(utf16.size() * 3 / 2);
    size_t i = 0;
    while (i + 1 < utf16.size()) {
        const uint32_t first = unit(i);
        i += 2;
        if (first >= 0xD800 && first <= 0xDBFF && i + 1 < utf16.size()) {
            const uint32_t second = unit(i);
            if (second >= 0xDC00 && second <= 0xDFFF) {
                i += 2;
                appendUtf8(out, 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00));
                continue;
            }
        }
        appendUtf8(out, first >= 0xD800 && first <= 0xDFFF ? kReplacement : first);
    }
    if (i < utf16.size()) appendUtf8(out, kReplacement);
    return out;
}

int64_t cellRowIdBefore(const uint8_t* page, uint32_t headerStart, uint64_t payloadBytes) {
    // Every byte of a varint but its last has the high bit set, so the row id's
    // bytes are the run of such bytes before its last one, and the byte before
    // them ends the payload length.
    if (headerStart < 2) return 0;
    const uint32_t rowIdLast = headerStart - 1;
    if ((page[rowIdLast] & 0x80) != 0) return 0;
    uint32_t rowIdFirst = rowIdLast;
    while (rowIdFirst > 0 && (page[rowIdFirst - 1] & 0x80) != 0) {
        if (rowIdLast - rowIdFirst + 1 >= 8) return 0;  // 9-byte row ids are no messages
        --rowIdFirst;
    }
    if (rowIdFirst == 0 || page[rowIdFirst] == 0x80) return 0;
    uint64_t rowId = 0;
    for (uint32_t at = rowIdFirst; at <= rowIdLast; ++at) rowId = (rowId << 7) | (page[at] & 0x7f);
    if (rowId == 0) return 0;

    // The payload length ends right before; its start is not marked, so each
    // length of up to 4 bytes (any payload a page can hold) is tried, shortest first.
    const uint32_t payloadLast = rowIdFirst - 1;
    uint64_t value = page[payloadLast];
    if (value == payloadBytes) return static_cast<int64_t>(rowId);
    for (uint32_t width = 2; width <= 4 && width <= payloadLast + 1; ++width) {
        const uint8_t lead = page[payloadLast + 1 - width];
        if ((lead & 0x80) == 0) break;
        if (lead == 0x80) continue;  // not the shortest encoding; a longer one may be
        value = 0;
        for (uint32_t at = payloadLast + 1 - width; at <= payloadLast; ++at) value = (value << 7) | (page[at] & 0x7f);
        if (value == payloadBytes) return static_cast<int64_t>(rowId);
    }
    return 0;
}

}  // namespace sqlite
}  // namespace talwen
