#include "app/pages/PageFile.h"

#include <QSaveFile>
#include <QTextStream>

namespace talwen {
namespace app {

const char* const kPageErrorTitle = "提示";
const char* const kPageErrorText = "无法创建文件";

PageFile writePageFile(const QString& path, const std::function<void(QTextStream&)>& write) {
    PageFile page;
    page.path = path;
    // Written under a temporary name beside it and renamed when whole: a stopped
    // or failed export never leaves a half page under the page's name.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        page.errorTitle = QString::fromUtf8(kPageErrorTitle);
        page.errorText = QString::fromUtf8(kPageErrorText);
        return page;
    }
    QTextStream out(&file);
    out.setCodec("utf8");
    write(out);
    out.flush();
    if (out.status() != QTextStream::Ok || file.error() != QFileDevice::NoError) {
        file.cancelWriting();
        file.commit();  // drops the temporary file
        return page;
    }
    page.written = file.commit();
    return page;
}

}  // namespace app
}  // namespace talwen
