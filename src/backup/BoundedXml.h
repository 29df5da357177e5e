#pragma once

#include <QByteArray>
#include <QString>

class QDomDocument;

namespace talwen::backup {

// XML from a backup or a message, parsed into a DOM only after a streaming pass
// (QXmlStreamReader, which does not recurse) has found it well-formed, nested no
// deeper than InputLimits::kMaxNestingDepth and free of entity declarations. The
// DOM's parser, text() and destructor recurse once per level, and entities could
// nest elements deeper than the text shows. Pure functions, thread-safe.
class BoundedXml {
public:
    enum class Outcome { Parsed, NotXml, TooDeep };

    // The streaming pass alone: Parsed when the text passes it.
    static Outcome check(const QByteArray& content);
    static Outcome check(const QString& text);

    // The streaming pass, then the DOM parse; document is set only when Parsed.
    static Outcome parse(const QByteArray& content, QDomDocument* document);
    static Outcome parse(const QString& text, QDomDocument* document);
};

} // namespace talwen::backup
