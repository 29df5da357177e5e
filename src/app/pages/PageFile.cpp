#include "app/pages/PageFile.h"

#include <QFile>
#include <QTextStream>

namespace talwen {
namespace app {

const char* const kPageErrorTitle = "提示";
const char* const kPageErrorText = "无法创建文件";

PageFile writePageFile(const QString& path, const std::function<void(QTextStream&)>& write) {
    PageFile page;
    page.path = path;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        page.errorTitle = QString::fromUtf8(kPageErrorTitle);
        page.errorText = QString::fromUtf8(kPageErrorText);
        return page;
    }
    QTextStream out(&file);
    out.setCodec("utf8");
    write(out);
    out.flush();
    file.close();
    page.written = out.status() == QTextStream::Ok && file.error() == QFileDevice::NoError;
    return page;
}

}  // namespace app
}  // namespace talwen
