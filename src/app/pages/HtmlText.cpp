#include "app/pages/HtmlText.h"

#include <QUrl>

namespace talwen {
namespace app {

namespace {

// "&", "<" and ">" always; quotes too where the text goes into an attribute value.
QString escapeHtml(const QString& text, bool quotes) {
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
            case '&': escaped += QLatin1String("&amp;"); break;
            case '<': escaped += QLatin1String("&lt;"); break;
            case '>': escaped += QLatin1String("&gt;"); break;
            case '"':
                if (quotes) escaped += QLatin1String("&quot;"); else escaped += c;
                break;
            case '\'':
                if (quotes) escaped += QLatin1String("&#39;"); else escaped += c;
                break;
            default: escaped += c;
        }
    }
    return escaped;
}

}  // namespace

QString escapeHtmlText(const QString& text) { return escapeHtml(text, false); }

QString escapeHtmlAttribute(const QString& text) { return escapeHtml(text, true); }

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
