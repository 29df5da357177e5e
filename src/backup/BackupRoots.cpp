#include "backup/BackupRoots.h"

#include <QDir>
#include <QFileInfo>
#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <initializer_list>

namespace talwen::backup {

namespace {

std::string join(char sep, const std::string& base, std::initializer_list<const char*> parts)
{
    std::string path = base;
    for (const char* part : parts) {
        path.push_back(sep);
        path += part;
    }
    return path;
}

} // namespace

BackupRoots::Platform BackupRoots::currentPlatform()
{
#if defined(Q_OS_WIN)
    return Platform::Windows;
#elif defined(Q_OS_MACOS)
    return Platform::MacOS;
#else
    return Platform::Other;
#endif
}

char BackupRoots::separator(Platform platform)
{
    return platform == Platform::Windows ? '\\' : '/';
}

char BackupRoots::separator()
{
    return separator(currentPlatform());
}

std::string BackupRoots::processEnvironment(const char* name)
{
    return qEnvironmentVariable(name).toStdString();
}

std::vector<std::string> BackupRoots::candidates(Platform platform, const Environment& environment)
{
    const char sep = separator(platform);
    std::vector<std::string> roots;
    auto add = [&roots](std::string path) {
        if (std::find(roots.begin(), roots.end(), path) == roots.end())
            roots.push_back(std::move(path));
    };

    const std::string appData = environment("AppData");
    if (!appData.empty())
        add(join(sep, appData, {"Apple Computer", "MobileSync", "Backup"}));

    if (platform == Platform::Windows) {
        const std::string profile = environment("USERPROFILE");
        if (!profile.empty())
            add(join(sep, profile, {"Apple", "MobileSync", "Backup"}));
    } else if (platform == Platform::MacOS) {
        const std::string home = environment("HOME");
        if (!home.empty())
            add(join(sep, home, {"Library", "Application Support", "MobileSync", "Backup"}));
    }
    return roots;
}

std::vector<std::string> BackupRoots::existingRoots(const std::vector<std::string>& candidates)
{
    std::vector<std::string> roots;
    std::vector<QString> seen;
    for (const std::string& candidate : candidates) {
        const QFileInfo info(QString::fromStdString(candidate));
        if (!info.isDir())
            continue;
        // Two spellings of one directory (letter case on Windows, a link) are scanned once.
        const QString canonical = info.canonicalFilePath();
        if (std::find(seen.begin(), seen.end(), canonical) != seen.end())
            continue;
        seen.push_back(canonical);
        roots.push_back(candidate);
    }
    return roots;
}

std::vector<std::string> BackupRoots::existingRoots()
{
    return existingRoots(candidates(currentPlatform(), &BackupRoots::processEnvironment));
}

} // namespace talwen::backup
