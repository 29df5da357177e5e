#pragma once

#include <QString>
#include <QStringList>

namespace talwen {
namespace app {

// The style sheets, script and pictures that conversation pages refer to, built
// into the program and installed as plain files into "<working dir>/temp".
class PageAssets {
public:
    // Paths of the assets relative to "temp" ("css/page.css", "images/faces05.png", ...).
    static QStringList files();
    // Copies every asset into workingDir + "/temp", replacing older copies. False
    // when a directory or a file cannot be written.
    static bool install(const QString& workingDir);
};

}  // namespace app
}  // namespace talwen
