#include "backup/BackupManager.h"

#include "backup/BackupRoots.h"
#include "backup/BoundedXml.h"
#include "backup/InputLimits.h"
#include "backup/ManifestDb.h"
#include "backup/MbdbParser.h"
#include "backup/PropertyList.h"
#include "backup/ReadOnlyFile.h"

#include <QDebug>
#include <QDir>
#include <QDomDocument>
#include <QDomElement>
#include <QDomNodeList>
#include <QFileInfo>
#include <QString>

#include <algorithm>

namespace talwen::backup {

namespace {

const char* const kInfoPlist = "Info.plist";
const char* const kManifestPlist = "Manifest.plist";
const char* const kManifestMbdb = "Manifest.mbdb";
const char* const kManifestDb = "Manifest.db";
const char* const kDatabaseName = "MM.sqlite";
const char* const kSettingsName = "mmsetting.archive";

std::string inBackup(const std::string& backupPath, const char* name)
{
    return backupPath + BackupRoots::separator() + name;
}

bool endsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

QString toQString(const std::string& text)
{
    return QString::fromStdString(text);
}

void reportRefusal(PropertyList::Refusal refusal, const QString& path)
{
    if (const char* limit = PropertyList::limitName(refusal))
        InputLimits::reportExceeded(limit, path, PropertyList::limitValue(refusal));
}

// The records of a Manifest.mbdb or (sqlite) Manifest.db of one domain, or of every
// domain when domain is empty; none, with a warning, when there are more than the
// limit allows.
std::vector<MbdbRecord> readManifestRecords(const std::string& path, bool sqlite, const std::string& domain)
{
    const QString file = toQString(path);
    const MbdbParser::Selection selection{domain, InputLimits::kMaxManifestRecords};
    bool overLimit = false;
    std::vector<MbdbRecord> records;
    if (sqlite) {
        records = ManifestDb::readFiles(path, domain, selection.maxRecords, &overLimit);
    } else {
        const auto content = ReadOnlyFile::readAll(file, InputLimits::kMaxManifestMbdbBytes);
        if (!content)
            return {};
        records = MbdbParser::parse(reinterpret_cast<const std::uint8_t*>(content->constData()),
                                    std::size_t(content->size()), selection, &overLimit);
    }
    if (overLimit) {
        InputLimits::reportExceeded("Record count", file, InputLimits::kMaxManifestRecords);
        return {};
    }
    return records;
}

// The text a node contributes as a value: an element's text, or the node's own
// value for character data.
QString nodeText(const QDomNode& node)
{
    if (node.isElement())
        return node.toElement().text();
    if (node.isCharacterData())
        return node.nodeValue();
    return QString();
}

// Info.plist: key and value elements alternate in the top-level dictionary.
void readInfoFields(const QDomDocument& document, BackupInfo* info)
{
    const QDomNodeList topLevel = document.documentElement().childNodes();
    for (int t = 0; t < topLevel.count(); ++t) {
        const QDomNode dictionary = topLevel.at(t);
        if (!dictionary.isElement())
            continue;
        const QDomNodeList nodes = dictionary.childNodes();
        for (int i = 0; i < nodes.count(); ++i) {
            const QDomNode node = nodes.at(i);
            if (!node.isElement())
                continue;
            const QString key = node.toElement().text();
            std::string* field = nullptr;
            if (key == QLatin1String("Device Name"))
                field = &info->deviceName;
            else if (key == QLatin1String("Last Backup Date"))
                field = &info->lastBackupDate;
            else if (key == QLatin1String("Serial Number"))
                field = &info->serialNumber;
            if (field) {
                *field = nodeText(nodes.at(i + 1)).toStdString();
                ++i;
            }
        }
    }
}

// The archived settings object: in every array of the top-level dictionary the
// string elements, counted from 0, hold user name (1), nickname (2), the fifth
// string (4) and signature (11); the picture address is the first string that
// begins with "http" and ends with "132", and nothing after it is examined.
AccountSettings readSettingsFields(const QDomDocument& document)
{
    AccountSettings settings;
    for (QDomElement top = document.documentElement().firstChildElement(); !top.isNull();
         top = top.nextSiblingElement()) {
        const QDomNodeList children = top.childNodes();
        for (int c = 0; c < children.count(); ++c) {
            const QDomNode child = children.at(c);
            if (!child.isElement() || child.toElement().tagName() != QLatin1String("array"))
                continue;
            const QDomNodeList items = child.childNodes();
            int j = 0;
            for (int i = 0; i < items.count(); ++i) {
                const QDomNode item = items.at(i);
                if (!item.isElement() || item.toElement().tagName() != QLatin1String("string"))
                    continue;
                const QString text = item.toElement().text();
                switch (j) {
                case 1: settings.userName = text.toStdString(); break;
                case 2: settings.nickName = text.toStdString(); break;
                case 4: settings.fifthString = text.toStdString(); break;
                case 11: settings.signature = text.toStdString(); break;
                default: break;
                }
                ++j;
                if (text.startsWith(QLatin1String("http")) && text.endsWith(QLatin1String("132"))) {
                    settings.headImgUrl = text.toStdString();
                    break;
                }
            }
        }
    }
    return settings;
}

} // namespace

// ---- Backup list -----------------------------------------------------------

bool BackupManager::isEncryptedBackup(const std::string& backupPath)
{
    const QString path = toQString(inBackup(backupPath, kManifestPlist));
    const auto content = ReadOnlyFile::readAll(path, InputLimits::kMaxManifestPlistBytes);
    if (!content)
        return false;
    PropertyList::Refusal refusal = PropertyList::Refusal::None;
    const bool encrypted = PropertyList::saysEncrypted(*content, &refusal);
    reportRefusal(refusal, path);
    return encrypted;
}

std::optional<BackupInfo> BackupManager::readBackupInfo(const std::string& directory)
{
    const QString path = toQString(inBackup(directory, kInfoPlist));
    const auto content = ReadOnlyFile::readAll(path, InputLimits::kMaxInfoPlistBytes);
    if (!content)
        return std::nullopt;
    QDomDocument document;
    const BoundedXml::Outcome outcome = BoundedXml::parse(*content, &document);
    if (outcome == BoundedXml::Outcome::TooDeep)
        InputLimits::reportExceeded("Nesting depth", path, InputLimits::kMaxNestingDepth);
    if (outcome != BoundedXml::Outcome::Parsed)
        return std::nullopt;

    BackupInfo info;
    info.path = directory;
    readInfoFields(document, &info);
    info.encrypted = isEncryptedBackup(directory);
    return info;
}

bool BackupManager::scanBackups()
{
    return scanBackupRoots(BackupRoots::existingRoots());
}

bool BackupManager::scanBackupRoots(const std::vector<std::string>& roots)
{
    bool anyRoot = false;
    for (const std::string& root : roots) {
        const QDir rootDir(toQString(root));
        if (root.empty() || !rootDir.exists())
            continue;
        anyRoot = true;
        const QStringList names =
            rootDir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::DirsFirst);
        for (const QString& name : names) {
            const std::string path = root + BackupRoots::separator() + name.toStdString();
            const bool listed = std::any_of(backups_.begin(), backups_.end(),
                                            [&path](const BackupInfo& b) { return b.path == path; });
            if (listed)
                continue;
            if (auto info = readBackupInfo(path))
                backups_.push_back(std::move(*info));
        }
    }
    return anyRoot;
}

bool BackupManager::addBackup(const std::string& directory)
{
    auto info = readBackupInfo(directory);
    if (!info)
        return false;
    backups_.push_back(std::move(*info));
    return true;
}

// ---- Manifest --------------------------------------------------------------

std::vector<MbdbRecord> BackupManager::parseManifest(const std::string& manifestPath)
{
    return readManifestRecords(manifestPath, false, std::string());
}

bool BackupManager::loadManifest(const std::string& backupPath)
{
    const std::string mbdb = inBackup(backupPath, kManifestMbdb);
    if (QFileInfo::exists(toQString(mbdb))) {
        manifests_[backupPath] = readManifestRecords(mbdb, false, kMessengerDomain);
        return true;
    }
    const std::string db = inBackup(backupPath, kManifestDb);
    if (QFileInfo::exists(toQString(db))) {
        manifests_[backupPath] = readManifestRecords(db, true, kMessengerDomain);
        return true;
    }
    return false;
}

bool BackupManager::locateMessengerFiles(const std::string& backupPath)
{
    // All three maps describe currentBackup; entries of an earlier backup would be
    // looked up in the wrong directory.
    databaseFiles_.clear();
    messengerFiles_.clear();
    settingsFiles_.clear();
    currentBackup_ = backupPath;

    if (isEncryptedBackup(backupPath)) {
        locateOutcome_ = LocateOutcome::Encrypted;
        return true;
    }
    const auto manifest = manifests_.find(backupPath);
    if (manifest == manifests_.end()) {
        locateOutcome_ = LocateOutcome::NoManifest;
        return true;
    }

    for (const MbdbRecord& record : manifest->second) {
        if (record.domain != kMessengerDomain)
            continue;
        if (endsWith(record.path, kDatabaseName)) {
            databaseFiles_.emplace(record.path, record.fileName);
            qDebug().noquote() << "messenger database" << toQString(record.path) << toQString(record.fileName);
        }
        if (record.path.find(kSettingsName) != std::string::npos) {
            settingsFiles_.emplace(record.path, record.fileName);
            qDebug().noquote() << "messenger settings" << toQString(record.path) << toQString(record.fileName);
        }
        messengerFiles_.emplace(record.path, record.fileName);
    }
    locateOutcome_ = databaseFiles_.empty() ? LocateOutcome::NoMessengerData : LocateOutcome::Found;
    return true;
}

// ---- Accounts --------------------------------------------------------------

std::optional<AccountSettings> BackupManager::parseAccountSettings(const QByteArray& content,
                                                                   PropertyList::Refusal* refusal)
{
    QDomDocument document;
    BoundedXml::Outcome outcome = BoundedXml::Outcome::NotXml;
    if (PropertyList::isBinary(content)) {
        if (const auto xml = PropertyList::binaryToXml(content, refusal))
            outcome = BoundedXml::parse(*xml, &document);
    } else {
        outcome = BoundedXml::parse(content, &document);
        if (outcome == BoundedXml::Outcome::Parsed && document.documentElement().tagName() != QLatin1String("plist"))
            outcome = BoundedXml::Outcome::NotXml;
    }
    if (outcome == BoundedXml::Outcome::TooDeep && refusal)
        *refusal = PropertyList::Refusal::TooDeep;
    if (outcome != BoundedXml::Outcome::Parsed)
        return std::nullopt;
    return readSettingsFields(document);
}

void BackupManager::readAccountSettings()
{
    const QString backup = toQString(currentBackup_);
    for (const auto& [settingsPath, fileName] : settingsFiles_) {
        const QString file = toQString(fileName);
        if (!ReadOnlyFile::isRegularFileInside(backup, file))
            continue;
        const QString path = backup + QLatin1Char('/') + file;
        const auto content = ReadOnlyFile::readAll(path, InputLimits::kMaxSettingsBytes);
        if (!content)
            continue;
        // A damaged file costs only its own account's settings.
        PropertyList::Refusal refusal = PropertyList::Refusal::None;
        auto settings = parseAccountSettings(*content, &refusal);
        reportRefusal(refusal, path);
        if (!settings)
            continue;
        accountSettings_.emplace(settingsPath, std::move(*settings));
    }
}

void BackupManager::clearAccounts()
{
    settingsFiles_.clear();
    accountSettings_.clear();
}

std::string BackupManager::accountDirectory(const std::string& devicePath)
{
    if (devicePath.size() < kAccountPrefixLength)
        return std::string();
    return devicePath.substr(kAccountDirOffset, kAccountDirLength);
}

bool BackupManager::sameAccount(const std::string& pathA, const std::string& pathB)
{
    return pathA.size() >= kAccountPrefixLength && pathB.size() >= kAccountPrefixLength &&
           pathA.compare(0, kAccountPrefixLength, pathB, 0, kAccountPrefixLength) == 0;
}

std::string BackupManager::databaseForSettings(const std::string& settingsPath) const
{
    for (const auto& entry : databaseFiles_) {
        if (sameAccount(entry.first, settingsPath))
            return entry.first;
    }
    return std::string();
}

std::string BackupManager::backupFilePath(const std::string& devicePath) const
{
    const auto found = messengerFiles_.find(devicePath);
    if (found == messengerFiles_.end())
        return std::string();
    return currentBackup_ + "/" + found->second;
}

} // namespace talwen::backup
