#include "backup/MbdbParser.h"

#include "backup/Sha1.h"

#include <cstring>

namespace talwen::backup {

namespace {

constexpr std::size_t kHeaderSize = 6;
constexpr std::size_t kFixedSize = 40;
constexpr std::uint16_t kEmptyLength = 0xFFFF;
const char kHexDigits[] = "0123456789ABCDEF";

// Bounded cursor: every read checks the bytes that remain and fails instead of
// running past the end.
class Cursor {
public:
    Cursor(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

    bool atEnd() const { return p_ == end_; }

    bool bytes(std::size_t count, const std::uint8_t** out)
    {
        if (std::size_t(end_ - p_) < count)
            return false;
        *out = p_;
        p_ += count;
        return true;
    }

    // A length-framed field; 0xFFFF gives zero bytes.
    bool framed(const std::uint8_t** out, std::size_t* length)
    {
        const std::uint8_t* lengthBytes = nullptr;
        if (!bytes(2, &lengthBytes))
            return false;
        const std::uint16_t value = std::uint16_t((lengthBytes[0] << 8) | lengthBytes[1]);
        *length = value == kEmptyLength ? 0 : value;
        return bytes(*length, out);
    }

    bool string(std::string* out)
    {
        const std::uint8_t* data = nullptr;
        std::size_t length = 0;
        if (!framed(&data, &length))
            return false;
        const void* nul = length ? std::memchr(data, 0, length) : nullptr;
        const std::size_t used = nul ? std::size_t(static_cast<const std::uint8_t*>(nul) - data) : length;
        out->assign(reinterpret_cast<const char*>(data), used);
        return true;
    }

    bool dataString(std::string* out)
    {
        const std::uint8_t* data = nullptr;
        std::size_t length = 0;
        if (!framed(&data, &length))
            return false;
        *out = MbdbParser::dataStringText(data, length);
        return true;
    }

private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

bool readRecord(Cursor& cursor, MbdbRecord* record)
{
    if (!cursor.string(&record->domain) || !cursor.string(&record->path) ||
        !cursor.string(&record->linkTarget) || !cursor.dataString(&record->dataHash) ||
        !cursor.dataString(&record->encryptionKey))
        return false;

    const std::uint8_t* fixed = nullptr;
    if (!cursor.bytes(kFixedSize, &fixed))
        return false;
    record->statText = MbdbParser::statText(fixed);
    record->protectionClass = static_cast<std::int8_t>(fixed[38]);
    record->propertyCount = static_cast<std::int8_t>(fixed[39]);

    for (std::int32_t i = 0; i < record->propertyCount; ++i) {
        std::string name, value;
        if (!cursor.string(&name) || !cursor.dataString(&value))
            return false;
        record->properties.emplace_back(std::move(name), std::move(value));
    }

    Sha1 sha;
    sha.update(record->domain.data(), record->domain.size());
    sha.update("-", 1);
    sha.update(record->path.data(), record->path.size());
    record->fileName = Sha1::toHex(sha.digest());
    return true;
}

} // namespace

std::string MbdbParser::dataStringText(const std::uint8_t* bytes, std::size_t size)
{
    bool printable = true;
    for (std::size_t i = 0; i < size && printable; ++i)
        printable = bytes[i] >= 0x20 && bytes[i] <= 0x7F;
    if (printable)
        return std::string(reinterpret_cast<const char*>(bytes), size);

    std::string hex;
    hex.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        hex.push_back(kHexDigits[bytes[i] >> 4]);
        hex.push_back(kHexDigits[bytes[i] & 0x0F]);
    }
    return hex;
}

std::string MbdbParser::statText(const std::uint8_t* fixed)
{
    static const std::size_t groups[] = {2, 4, 4, 4, 4, 4, 4, 4, 8, 1, 1};
    std::string text;
    text.reserve(kFixedSize * 2 + 10);
    std::size_t offset = 0;
    for (std::size_t group : groups) {
        if (offset)
            text.push_back(' ');
        for (std::size_t i = 0; i < group; ++i, ++offset) {
            text.push_back(kHexDigits[fixed[offset] >> 4]);
            text.push_back(kHexDigits[fixed[offset] & 0x0F]);
        }
    }
    return text;
}

std::vector<MbdbRecord> MbdbParser::parse(const std::uint8_t* data, std::size_t size)
{
    return parse(data, size, Selection(), nullptr);
}

std::vector<MbdbRecord> MbdbParser::parse(const std::uint8_t* data, std::size_t size, const Selection& selection,
                                          bool* overLimit)
{
    static const std::uint8_t header[kHeaderSize] = {'m', 'b', 'd', 'b', 0x05, 0x00};
    std::vector<MbdbRecord> records;
    if (overLimit)
        *overLimit = false;
    if (!data || size < kHeaderSize || std::memcmp(data, header, kHeaderSize) != 0)
        return records;

    Cursor cursor(data + kHeaderSize, size - kHeaderSize);
    while (!cursor.atEnd()) {
        MbdbRecord record;
        if (!readRecord(cursor, &record))
            break;
        if (!selection.domain.empty() && record.domain != selection.domain)
            continue;
        if (records.size() == selection.maxRecords) {
            if (overLimit)
                *overLimit = true;
            break;
        }
        records.push_back(std::move(record));
    }
    return records;
}

} // namespace talwen::backup
