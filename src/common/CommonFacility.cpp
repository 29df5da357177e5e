#include "common/CommonFacility.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#define WCR_UNIT "common/CommonFacility"

namespace talwen {
namespace common {

void removeFile(const std::string& path, ErrorInfo* error) {
    if (std::remove(path.c_str()) != 0) {
        WCR_SET_ERROR(error, -1, std::strerror(errno), "removeFile");
        return;
    }
    error->clear();
}

bool fileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::u8path(path), ec);
}

std::string toHexString(const uint8_t* bytes, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex(length * 2, '0');
    for (size_t i = 0; i < length; ++i) {
        hex[2 * i] = kDigits[bytes[i] >> 4];
        hex[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    return hex;
}

namespace {
uint8_t hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    return 0;
}
}  // namespace

size_t fromHexString(const std::string& hex, uint8_t* destination) {
    const size_t count = hex.size() / 2;
    for (size_t i = 0; i < count; ++i) {
        destination[i] =
            static_cast<uint8_t>((hexDigitValue(hex[2 * i]) << 4) | hexDigitValue(hex[2 * i + 1]));
    }
    return count;
}

bool hostIsLittleEndian() {
    const uint16_t probe = 1;
    uint8_t first = 0;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

void reverseBytes(void* bytes, size_t count) {
    auto* p = static_cast<uint8_t*>(bytes);
    std::reverse(p, p + count);
}

void bigEndianToHost16(void* field) {
    if (hostIsLittleEndian()) reverseBytes(field, 2);
}

void bigEndianToHost32(void* field) {
    if (hostIsLittleEndian()) reverseBytes(field, 4);
}

void bigEndianToHost64(void* field) {
    if (hostIsLittleEndian()) reverseBytes(field, 8);
}

std::string formatDuration(int64_t milliseconds) {
    const int64_t hours = milliseconds / 3600000;
    const int64_t minutes = (milliseconds / 60000) % 60;
    const int64_t seconds = (milliseconds / 1000) % 60;
    const int64_t rest = milliseconds % 1000;
    std::string text;
    if (hours > 0) text += std::to_string(hours) + "h";
    if (hours > 0 || minutes > 0) text += std::to_string(minutes) + "m";
    if (hours > 0 || minutes > 0 || seconds > 0) text += std::to_string(seconds) + "s";
    text += std::to_string(rest) + "ms";
    return text;
}

std::string trim(const std::string& text, const std::string& characters) {
    const size_t first = text.find_first_not_of(characters);
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(characters);
    return text.substr(first, last - first + 1);
}

void toUpper(std::string& text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

size_t replaceAll(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return 0;
    size_t count = 0;
    size_t position = 0;
    while ((position = text.find(from, position)) != std::string::npos) {
        text.replace(position, from.size(), to);
        position += to.size();
        ++count;
    }
    return count;
}

void split(const std::string& text, const std::string& delimiters, std::vector<std::string>& pieces) {
    size_t position = 0;
    while (position < text.size()) {
        const size_t start = text.find_first_not_of(delimiters, position);
        if (start == std::string::npos) break;
        size_t end = text.find_first_of(delimiters, start);
        if (end == std::string::npos) end = text.size();
        pieces.push_back(text.substr(start, end - start));
        position = end;
    }
}

}  // namespace common
}  // namespace talwen
