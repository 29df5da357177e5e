#include "backup/PropertyList.h"

#include "backup/BoundedXml.h"
#include "backup/InputLimits.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <vector>

namespace talwen::backup {

namespace {

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

using Refusal = PropertyList::Refusal;

bool fitsLibplist(const QByteArray& data)
{
    return !data.isEmpty() && std::uint64_t(data.size()) < std::numeric_limits<std::uint32_t>::max();
}

std::uint64_t bigEndian(const std::uint8_t* p, std::size_t width)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
        value = (value << 8) | p[i];
    return value;
}

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b)
{
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

// The binary format ("bplist00"): objects, an offset table giving each object's
// position, and a 32-byte trailer with the widths of offsets and references, the
// object count, the top object and the table's position. Every object lies
// between the header and the offset table.
class BinaryShape {
public:
    explicit BinaryShape(const QByteArray& data)
        : data_(reinterpret_cast<const std::uint8_t*>(data.constData())), size_(std::size_t(data.size()))
    {
    }

    Refusal check()
    {
        if (!readTrailer())
            return Refusal::Malformed;
        if (count_ > InputLimits::kMaxPlistObjects)
            return Refusal::TooManyObjects;
        return walk();
    }

private:
    static constexpr std::size_t kHeaderSize = 8;
    static constexpr std::size_t kTrailerSize = 32;

    // One object as far as the walk needs it.
    struct Object {
        bool container = false;
        std::size_t refs = 0;      // position of the first reference
        std::uint64_t refCount = 0;
        std::uint64_t bytes = 0;   // string or data bytes
    };

    // A container being walked, with the totals of the children seen so far.
    struct Frame {
        std::uint64_t index;
        Object object;
        std::uint64_t next = 0;
        std::uint64_t objects = 1;
        std::uint64_t bytes = 0;
        std::uint32_t height = 1;
    };

    bool readTrailer()
    {
        if (size_ < kHeaderSize + 1 + kTrailerSize)
            return false;
        const std::uint8_t* trailer = data_ + size_ - kTrailerSize;
        offsetWidth_ = trailer[6];
        refWidth_ = trailer[7];
        count_ = bigEndian(trailer + 8, 8);
        top_ = bigEndian(trailer + 16, 8);
        tableOffset_ = bigEndian(trailer + 24, 8);
        const std::uint64_t tableRoom = size_ - kTrailerSize;
        return offsetWidth_ >= 1 && offsetWidth_ <= 8 && refWidth_ >= 1 && refWidth_ <= 8 && count_ >= 1 &&
               top_ < count_ && tableOffset_ > kHeaderSize && tableOffset_ <= tableRoom &&
               count_ <= (tableRoom - tableOffset_) / offsetWidth_;
    }

    // Reads the object at index; false when any part of it lies outside the
    // objects' area or its marker is unknown.
    bool describe(std::uint64_t index, Object* object) const
    {
        const std::uint64_t offset = bigEndian(data_ + tableOffset_ + index * offsetWidth_, offsetWidth_);
        if (offset < kHeaderSize || offset >= tableOffset_)
            return false;
        const std::uint8_t marker = data_[offset];
        const unsigned type = marker >> 4;
        const unsigned info = marker & 0x0F;
        std::size_t p = std::size_t(offset) + 1;
        const std::size_t end = std::size_t(tableOffset_);

        std::uint64_t count = info;
        const bool counted = type == 0x4 || type == 0x5 || type == 0x6 || type == 0x7 || type >= 0xA;
        if (counted && info == 0x0F) {
            // The count follows as an integer object.
            if (p >= end || (data_[p] >> 4) != 0x1 || (data_[p] & 0x0F) > 3)
                return false;
            const std::size_t width = std::size_t(1) << (data_[p] & 0x0F);
            if (end - p - 1 < width)
                return false;
            count = bigEndian(data_ + p + 1, width);
            p += 1 + width;
        }

        std::uint64_t unit = 1;
        switch (type) {
        case 0x0: return true;
        case 0x1:
        case 0x2:
            if (info > 4)
                return false;
            return end - p >= (std::size_t(1) << info);
        case 0x3: return end - p >= 8;
        case 0x8: return end - p >= info + 1;
        case 0x4:
        case 0x5:
        case 0x7: unit = 1; break;
        case 0x6: unit = 2; break;
        case 0xA:
        case 0xB:
        case 0xC: unit = refWidth_; break;
        case 0xD: unit = 2 * std::uint64_t(refWidth_); break;
        default: return false;
        }
        if (count > (end - p) / unit)
            return false;
        if (type >= 0xA) {
            object->container = true;
            object->refs = p;
            object->refCount = type == 0xD ? count * 2 : count;
        } else {
            object->bytes = count * unit;
        }
        return true;
    }

    // Depth-first over the references from the top object with an explicit stack;
    // each object's expanded totals are kept, so a shared object costs one visit.
    Refusal walk()
    {
        enum : std::uint8_t { kNew, kOpen, kDone };
        // Counted as in the XML form, which adds the plist element around the top
        // object and an element for a value inside the deepest container.
        const std::size_t maxContainers = std::size_t(InputLimits::kMaxNestingDepth) - 2;
        std::vector<std::uint8_t> state(count_, kNew);
        std::vector<std::uint64_t> objects(count_), bytes(count_);
        std::vector<std::uint32_t> heights(count_);
        std::vector<Frame> stack;

        // Adds a finished object to the container walking it (or ends the walk).
        auto account = [&](std::uint64_t index) -> Refusal {
            if (stack.empty())
                return Refusal::None;
            Frame& parent = stack.back();
            if (stack.size() + heights[index] > maxContainers)
                return Refusal::TooDeep;
            parent.objects = saturatingAdd(parent.objects, objects[index]);
            parent.bytes = saturatingAdd(parent.bytes, bytes[index]);
            parent.height = std::max<std::uint32_t>(parent.height, heights[index] + 1);
            if (parent.objects > InputLimits::kMaxPlistObjects)
                return Refusal::TooManyObjects;
            if (parent.bytes > InputLimits::kMaxPlistExpandedBytes)
                return Refusal::TooManyBytes;
            return Refusal::None;
        };
        auto enter = [&](std::uint64_t index) -> Refusal {
            Object object;
            if (!describe(index, &object))
                return Refusal::Malformed;
            if (!object.container) {
                state[index] = kDone;
                objects[index] = 1;
                bytes[index] = object.bytes;
                heights[index] = 0;
                return account(index);
            }
            if (stack.size() >= maxContainers)
                return Refusal::TooDeep;
            state[index] = kOpen;
            stack.push_back(Frame{index, object});
            return Refusal::None;
        };

        Refusal refusal = enter(top_);
        while (refusal == Refusal::None && !stack.empty()) {
            Frame& frame = stack.back();
            if (frame.next < frame.object.refCount) {
                const std::uint64_t child =
                    bigEndian(data_ + frame.object.refs + frame.next * refWidth_, refWidth_);
                ++frame.next;
                if (child >= count_ || state[child] == kOpen)
                    refusal = Refusal::Malformed; // outside the table, or a cycle
                else if (state[child] == kDone)
                    refusal = account(child);
                else
                    refusal = enter(child);
                continue;
            }
            const Frame done = frame;
            stack.pop_back();
            state[done.index] = kDone;
            objects[done.index] = done.objects;
            bytes[done.index] = done.bytes;
            heights[done.index] = done.height;
            refusal = account(done.index);
        }
        return refusal;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    unsigned offsetWidth_ = 0;
    unsigned refWidth_ = 0;
    std::uint64_t count_ = 0;
    std::uint64_t top_ = 0;
    std::uint64_t tableOffset_ = 0;
};

// What libplist may be given: a binary list that passes the walk, or XML that
// passes the streaming check.
Refusal checkForLibplist(const QByteArray& data)
{
    if (!fitsLibplist(data))
        return Refusal::Malformed;
    if (PropertyList::isBinary(data))
        return PropertyList::checkBinary(data);
    switch (BoundedXml::check(data)) {
    case BoundedXml::Outcome::Parsed: return Refusal::None;
    case BoundedXml::Outcome::TooDeep: return Refusal::TooDeep;
    case BoundedXml::Outcome::NotXml: break;
    }
    return Refusal::Malformed;
}

bool accepted(Refusal found, Refusal* refusal)
{
    if (refusal)
        *refusal = found;
    return found == Refusal::None;
}

} // namespace

bool PropertyList::isBinary(const QByteArray& data)
{
    return data.startsWith(kBinaryMagic);
}

PropertyList::Refusal PropertyList::checkBinary(const QByteArray& data)
{
    if (!isBinary(data))
        return Refusal::Malformed;
    return BinaryShape(data).check();
}

const char* PropertyList::limitName(Refusal refusal)
{
    switch (refusal) {
    case Refusal::TooDeep: return "Nesting depth";
    case Refusal::TooManyObjects: return "Expanded object count";
    case Refusal::TooManyBytes: return "Expanded string and data bytes";
    case Refusal::None:
    case Refusal::Malformed: break;
    }
    return nullptr;
}

std::uint64_t PropertyList::limitValue(Refusal refusal)
{
    switch (refusal) {
    case Refusal::TooDeep: return std::uint64_t(InputLimits::kMaxNestingDepth);
    case Refusal::TooManyObjects: return InputLimits::kMaxPlistObjects;
    case Refusal::TooManyBytes: return InputLimits::kMaxPlistExpandedBytes;
    case Refusal::None:
    case Refusal::Malformed: break;
    }
    return 0;
}

std::optional<QString> PropertyList::binaryToXml(const QByteArray& data, Refusal* refusal)
{
    if (!isBinary(data) || !accepted(checkForLibplist(data), refusal))
        return std::nullopt;
    plist_t raw = nullptr;
    plist_from_bin(data.constData(), std::uint32_t(data.size()), &raw);
    PlistPtr root(raw);
    if (!root)
        return std::nullopt;

    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    if (!xml)
        return std::nullopt;
    QString text = QString::fromUtf8(xml, int(length));
    plist_to_xml_free(xml);
    return text;
}

bool PropertyList::saysEncrypted(const QByteArray& data, Refusal* refusal)
{
    if (!accepted(checkForLibplist(data), refusal))
        return false;
    plist_t raw = nullptr;
    plist_from_memory(data.constData(), std::uint32_t(data.size()), &raw);
    PlistPtr root(raw);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT)
        return false;
    plist_t item = plist_dict_get_item(root.get(), "IsEncrypted");
    if (!item || plist_get_node_type(item) != PLIST_BOOLEAN)
        return false;
    std::uint8_t value = 0;
    plist_get_bool_val(item, &value);
    return value != 0;
}

std::optional<QByteArray> PropertyList::dataItem(const QByteArray& data, const char* key, Refusal* refusal)
{
    if (!accepted(checkForLibplist(data), refusal))
        return std::nullopt;
    plist_t raw = nullptr;
    plist_from_memory(data.constData(), std::uint32_t(data.size()), &raw);
    PlistPtr root(raw);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT)
        return std::nullopt;
    plist_t item = plist_dict_get_item(root.get(), key);
    if (!item || plist_get_node_type(item) != PLIST_DATA)
        return std::nullopt;
    std::uint64_t length = 0;
    const char* bytes = plist_get_data_ptr(item, &length);
    if (!bytes || length > std::uint64_t(std::numeric_limits<int>::max()))
        return std::nullopt;
    return QByteArray(bytes, int(length));
}

} // namespace talwen::backup
