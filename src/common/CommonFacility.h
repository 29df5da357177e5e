#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/ErrorInfo.h"

namespace talwen {
namespace common {

// Deletes a file; on failure code -1 with the operating system's error text.
void removeFile(const std::string& path, ErrorInfo* error);
bool fileExists(const std::string& path);

// Two lower-case hexadecimal digits per byte, no separators.
std::string toHexString(const uint8_t* bytes, size_t length);
// Writes hex.size() / 2 bytes to destination (an odd last digit is ignored) and
// returns that count. Digits that are not hexadecimal read as 0.
size_t fromHexString(const std::string& hex, uint8_t* destination);

// Big-endian file fields to host order, in place.
void bigEndianToHost16(void* field);
void bigEndianToHost32(void* field);
void bigEndianToHost64(void* field);
void reverseBytes(void* bytes, size_t count);
bool hostIsLittleEndian();

// "1h2m3s4ms": hours unwrapped, each larger unit shown once a larger or equal one is non-zero.
std::string formatDuration(int64_t milliseconds);

// Removes leading and trailing characters that are in `characters`.
std::string trim(const std::string& text, const std::string& characters);
// Upper-cases every character in place with the runtime's toupper.
void toUpper(std::string& text);
// Replaces every occurrence of `from`, continuing after the inserted text; returns the count.
size_t replaceAll(std::string& text, const std::string& from, const std::string& to);
// Appends every maximal run of non-delimiter characters; never produces empty pieces.
void split(const std::string& text, const std::string& delimiters, std::vector<std::string>& pieces);

// Decodes UTF-8, drops malformed sequences and the code points that the current
// Unicode version does not count as assigned and printable (Cc, Cf, Cs, Co, Cn),
// except tab, line feed, carriage return, the zero-width joiner and the emoji tag
// characters, which stored messages use; encodes the rest again. Emoji and every
// other printable character of every plane stay, so a well-formed message without
// control characters comes back byte for byte.
std::string sanitizeText(const std::string& utf8);
// True when the code point (U+0000..U+10FFFF) survives sanitizeText.
bool isPrintableCodePoint(uint32_t codePoint);

}  // namespace common
}  // namespace talwen
