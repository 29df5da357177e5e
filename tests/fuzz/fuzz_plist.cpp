// The property-list readers over arbitrary bytes, XML and binary: a backup's
// Info.plist and Manifest.plist (read from a directory, as the listing does) and
// an account's settings file.
#include <cstdint>

#include <QByteArray>

#include "FuzzSupport.h"
#include "backup/BackupManager.h"
#include "backup/PropertyList.h"

using namespace talwen::backup;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    const QByteArray content = QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<int>(size));
    (void)BackupManager::parseAccountSettings(content);
    if (PropertyList::isBinary(content)) (void)PropertyList::binaryToXml(content);
    wcrfuzz::writeScratch("Info.plist", data, size);
    wcrfuzz::writeScratch("Manifest.plist", data, size);
    (void)BackupManager::readBackupInfo(wcrfuzz::scratchDir());
    (void)BackupManager::isEncryptedBackup(wcrfuzz::scratchDir());
    return 0;
}
