#include "app/model/HtmlText.h"

#include <QUrl>

namespace talwen {
namespace app {

QString escapeHtmlText(const QString& text) {
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
            case '&': escaped += QLatin1String("&amp;"); break;
            case '<': escaped += QLatin1String("&lt;"); break;
            case '>': escaped += QLatin1String("&gt;"); break;
            default: escaped += c;
        }
    }
    return escaped;
}

QString escapeHtmlAttribute(const QString& text) {
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
            case '&': escaped += QLatin1String("&amp;"); break;
            case '<': escaped += QLatin1String("&lt;"); break;
            case '>': escaped += QLatin1String("&gt;"); break;
            case '"': escaped += QLatin1String("&quot;"); break;
            case '\'': escaped += QLatin1String("&#39;"); break;
            default: escaped += c;
        }
    }
    return escaped;
}

QString safeLinkTarget(const QString& url) {
    if (!url.contains(QLatin1Char(':'))) {
        return escapeHtmlAttribute(url);  // relative or empty: no scheme to abuse
    }
    const QString scheme = QUrl(url.trimmed()).scheme().toLower();
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("ftp")) {
        return escapeHtmlAttribute(url);
    }
    return QStringLiteral("#");
}

}  // namespace app
}  // namespace talwen
