#include "backup/BoundedXml.h"

#include "backup/InputLimits.h"

#include <QDomDocument>
#include <QXmlStreamReader>

namespace talwen::backup {

namespace {

BoundedXml::Outcome streamCheck(QXmlStreamReader& reader)
{
    int depth = 0;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement:
            if (++depth > InputLimits::kMaxNestingDepth)
                return BoundedXml::Outcome::TooDeep;
            break;
        case QXmlStreamReader::EndElement:
            --depth;
            break;
        case QXmlStreamReader::DTD:
            if (!reader.entityDeclarations().isEmpty())
                return BoundedXml::Outcome::NotXml;
            break;
        default:
            break;
        }
    }
    return reader.hasError() ? BoundedXml::Outcome::NotXml : BoundedXml::Outcome::Parsed;
}

template <typename Text>
BoundedXml::Outcome checkThenParse(const Text& text, QDomDocument* document)
{
    const BoundedXml::Outcome outcome = BoundedXml::check(text);
    if (outcome != BoundedXml::Outcome::Parsed)
        return outcome;
    return document->setContent(text) ? BoundedXml::Outcome::Parsed : BoundedXml::Outcome::NotXml;
}

} // namespace

BoundedXml::Outcome BoundedXml::check(const QByteArray& content)
{
    QXmlStreamReader reader(content);
    return streamCheck(reader);
}

BoundedXml::Outcome BoundedXml::check(const QString& text)
{
    QXmlStreamReader reader(text);
    return streamCheck(reader);
}

BoundedXml::Outcome BoundedXml::parse(const QByteArray& content, QDomDocument* document)
{
    return checkThenParse(content, document);
}

BoundedXml::Outcome BoundedXml::parse(const QString& text, QDomDocument* document)
{
    return checkThenParse(text, document);
}

} // namespace talwen::backup
