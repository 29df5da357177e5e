#pragma once

#include <set>

#include <QString>

namespace talwen {
namespace app {

// Page file names of one export. Names come from contacts' nicknames, so they are
// made safe for every file system and unique within the export directory.
class ExportFileNames {
public:
    // Characters file systems refuse (path separators, < > : " | ? * and control
    // characters) and direction marks and overrides become "_"; an empty name, one
    // beginning with "." and a device name of Windows (CON, NUL, COM1, ...) get a
    // leading "_"; the name is cut to 200 UTF-8 bytes at a character boundary.
    static QString safeBaseName(const QString& name);

    // safeBaseName(name) + ".html", with "_2", "_3", ... before the extension when
    // that file name (compared case-insensitively) was already given out.
    QString claim(const QString& name);
    void reset() { used_.clear(); }

private:
    std::set<QString> used_;  // lower-cased
};

}  // namespace app
}  // namespace talwen
