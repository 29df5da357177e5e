#include "backup/FileRecord.h"

#include "backup/InputLimits.h"
#include "backup/PropertyList.h"

#include <plist/plist.h>

#include <memory>

namespace talwen::backup {

namespace {

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};

plist_t ofType(plist_t node, plist_type type)
{
    return node && plist_get_node_type(node) == type ? node : nullptr;
}

// The object a UID of the archive refers to, in $objects.
plist_t resolve(plist_t objects, plist_t node)
{
    if (!ofType(node, PLIST_UID))
        return node;
    std::uint64_t index = 0;
    plist_get_uid_val(node, &index);
    if (index >= plist_array_get_size(objects))
        return nullptr;
    return plist_array_get_item(objects, std::uint32_t(index));
}

bool unsignedValue(plist_t node, std::uint64_t* value)
{
    if (!ofType(node, PLIST_UINT))
        return false;
    plist_get_uint_val(node, value);
    return true;
}

} // namespace

bool FileRecord::setKey(const Bytes& classAndKey)
{
    if (classAndKey.size() != 4 + BackupCrypto::kWrappedKeySize)
        return false;
    protectionClass = std::uint32_t(classAndKey[0]) | (std::uint32_t(classAndKey[1]) << 8) |
                      (std::uint32_t(classAndKey[2]) << 16) | (std::uint32_t(classAndKey[3]) << 24);
    wrappedKey.assign(classAndKey.begin() + 4, classAndKey.end());
    return true;
}

std::optional<FileRecord> FileRecord::fromArchive(const QByteArray& archive)
{
    if (archive.size() > InputLimits::kMaxFileRecordBytes || PropertyList::checkBinary(archive) != PropertyList::Refusal::None)
        return std::nullopt;
    plist_t raw = nullptr;
    plist_from_bin(archive.constData(), std::uint32_t(archive.size()), &raw);
    std::unique_ptr<void, PlistFree> root(raw);
    if (!ofType(raw, PLIST_DICT))
        return std::nullopt;
    plist_t objects = ofType(plist_dict_get_item(raw, "$objects"), PLIST_ARRAY);
    plist_t top = ofType(plist_dict_get_item(raw, "$top"), PLIST_DICT);
    if (!objects || !top)
        return std::nullopt;
    plist_t file = ofType(resolve(objects, plist_dict_get_item(top, "root")), PLIST_DICT);
    if (!file)
        return std::nullopt;

    FileRecord record;
    std::uint64_t number = 0;
    if (unsignedValue(resolve(objects, plist_dict_get_item(file, "Size")), &number))
        record.size = number;
    if (unsignedValue(resolve(objects, plist_dict_get_item(file, "ProtectionClass")), &number))
        record.protectionClass = std::uint32_t(number);
    plist_t key = resolve(objects, plist_dict_get_item(file, "EncryptionKey"));
    // An NSData object archives its bytes under NS.data; a plain data value is taken too.
    if (ofType(key, PLIST_DICT))
        key = resolve(objects, plist_dict_get_item(key, "NS.data"));
    if (ofType(key, PLIST_DATA)) {
        std::uint64_t length = 0;
        const char* bytes = plist_get_data_ptr(key, &length);
        if (bytes && length == 4 + BackupCrypto::kWrappedKeySize)
            record.setKey(Bytes(reinterpret_cast<const std::uint8_t*>(bytes),
                                reinterpret_cast<const std::uint8_t*>(bytes) + length));
    }
    return record;
}

} // namespace talwen::backup
