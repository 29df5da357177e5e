#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/ErrorInfo.h"

namespace talwen {
namespace sqlite {

// A byte array owned by a reference count and freed as an array.
using ByteArray = std::shared_ptr<uint8_t[]>;

// Decoders of SQLite's record format over bytes that may be garbage. Each one is
// given the number of bytes available and never reads past it; a shortage is
// code -2, a serial type of the wrong class code -1. They check length and serial
// type only. All functions are pure apart from their out-parameters and may be
// called from any number of threads at once.

// One varint of 1 to 9 bytes. On failure ("parse varint overflow!", code -2) the
// result is meaningless and consumed is not written.
int64_t parseVarint(const uint8_t* bytes, uint32_t available, uint32_t& consumed,
                    common::ErrorInfo* error);

// Up to maxCount varints one after another. Stops at the first failing varint and
// leaves its failure set; consumed covers exactly the varints returned. Running out
// of bytes at a varint boundary is not a failure: the result is just shorter.
std::vector<int64_t> parseVarints(const uint8_t* bytes, uint32_t available, uint32_t maxCount,
                                  uint32_t& consumed, common::ErrorInfo* error);
// The same into a caller-owned vector, which is cleared first; a vector reused
// across calls keeps its capacity, so a scan allocates nothing per offset.
void parseVarints(const uint8_t* bytes, uint32_t available, uint32_t maxCount,
                  std::vector<int64_t>& varints, uint32_t& consumed, common::ErrorInfo* error);

inline bool isNull(int64_t serialType) { return serialType == 0; }
inline bool isInteger(int64_t serialType) {
    return (serialType >= 1 && serialType <= 6) || serialType == 8 || serialType == 9;
}
inline bool isReal(int64_t serialType) { return serialType == 7; }
inline bool isText(int64_t serialType) { return serialType >= 13 && (serialType & 1) == 1; }
inline bool isBlob(int64_t serialType) { return serialType >= 12 && (serialType & 1) == 0; }

// Serial types 0 and 1 to 6, 8, 9. For types 1 to 6 consumed is the width even when
// the bytes do not suffice.
int64_t parseIntegerValue(const uint8_t* bytes, uint32_t available, int64_t serialType,
                          uint32_t& consumed, common::ErrorInfo* error);
// Serial type 7 (established by the caller): an 8-byte big-endian double.
double parseRealValue(const uint8_t* bytes, uint32_t available, uint32_t& consumed,
                      common::ErrorInfo* error);
// The raw bytes of a text serial type; no change of encoding.
std::string parseTextValue(const uint8_t* bytes, uint32_t available, int64_t serialType,
                           uint32_t& consumed, common::ErrorInfo* error);
// A copy of the bytes of a blob serial type; its length is consumed. Empty pointer
// on failure; the empty blob is a new array of 0 bytes.
ByteArray parseBlobValue(const uint8_t* bytes, uint32_t available, int64_t serialType,
                         uint32_t& consumed, common::ErrorInfo* error);

// UTF-16 text (little- or big-endian) as UTF-8. An unpaired surrogate and an odd
// last byte become U+FFFD; nothing else is dropped.
std::string utf16ToUtf8(const std::string& utf16, bool bigEndian);

// count (1 to 8) bytes, most significant first.
uint64_t readBigEndian(const uint8_t* bytes, uint32_t count);

// The row id of a table leaf cell, read backwards from its record header at
// headerStart (an offset into page): a cell starts with its payload length and
// its row id as varints. 0 unless both read back cleanly (shortest encodings, the
// row id positive and of at most 8 bytes) and the payload length is exactly
// payloadBytes: a deleted cell whose first bytes a free block overwrote gives 0.
int64_t cellRowIdBefore(const uint8_t* page, uint32_t headerStart, uint64_t payloadBytes);

}  // namespace sqlite
}  // namespace talwen
