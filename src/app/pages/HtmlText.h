#pragma once

#include <QString>

namespace talwen {
namespace app {

// Texts taken from a scanned database are untrusted: a crafted message must not
// put markup or script into a page that a browser opens with local file access.

// Escapes "&", "<" and ">" so that the text shows as it is between elements.
QString escapeHtmlText(const QString& text);
// Additionally escapes both quote characters, for a value inside a quoted attribute.
QString escapeHtmlAttribute(const QString& text);
// A link target from a message, attribute-escaped. An address with a scheme is kept
// only for http, https and ftp; any other ("javascript:", "data:", ...) becomes "#"
// so that no script can be planted behind a link.
QString safeLinkTarget(const QString& url);

}  // namespace app
}  // namespace talwen
