#pragma once

#include <functional>

#include <QString>

class QTextStream;

namespace talwen {
namespace app {

// Texts of the message box shown when a page file cannot be created.
extern const char* const kPageErrorTitle;  // "提示"
extern const char* const kPageErrorText;   // "无法创建文件"

// Outcome of writing one conversation page.
struct PageFile {
    bool written = false;
    QString path;
    // Set when the user must be told (the page file could not be opened); empty
    // for the failures that pass silently.
    QString errorTitle;
    QString errorText;
};

// Writes a page to `path` (replacing the file) as UTF-8 text through `write`, under a
// temporary name in the same directory renamed to `path` when complete. A file
// that cannot be opened yields the error texts; `written` is true only when every
// byte reached the file; otherwise `path` is left as it was.
PageFile writePageFile(const QString& path, const std::function<void(QTextStream&)>& write);

}  // namespace app
}  // namespace talwen
