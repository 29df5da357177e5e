#include "backup/PropertyList.h"

#include <plist/plist.h>

#include <cstdint>
#include <limits>
#include <memory>

namespace talwen::backup {

namespace {

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

bool fitsLibplist(const QByteArray& data)
{
    return !data.isEmpty() && std::uint64_t(data.size()) < std::numeric_limits<std::uint32_t>::max();
}

} // namespace

bool PropertyList::isBinary(const QByteArray& data)
{
    return data.startsWith(kBinaryMagic);
}

std::optional<QString> PropertyList::binaryToXml(const QByteArray& data)
{
    if (!fitsLibplist(data) || !isBinary(data))
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

bool PropertyList::saysEncrypted(const QByteArray& data)
{
    if (!fitsLibplist(data))
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

} // namespace talwen::backup
