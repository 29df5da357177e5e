#include "app/pages/MessageFallbacks.h"

#include <QDomDocument>
#include <QLocale>
#include <QStringList>

#include "backup/BoundedXml.h"

namespace talwen {
namespace app {

namespace {


// The first element named `name` anywhere in the payload; null when the payload
// does not parse (nesting beyond the limit counts as not parsed).
QDomElement firstElement(const QString& payload, const QString& name, QDomDocument* document) {
    if (backup::BoundedXml::parse(payload, document) != backup::BoundedXml::Outcome::Parsed) {
        return QDomElement();
    }
    const QDomElement root = document->documentElement();
    if (root.tagName() == name) return root;
    return root.elementsByTagName(name).item(0).toElement();
}

// A digest is shown only when it looks like one: the payload is the chat partner's.
QString digestText(const QString& md5) {
    const QString trimmed = md5.trimmed().toLower();
    if (trimmed.size() != 32) return QString();
    for (const QChar c : trimmed) {
        if (!c.isDigit() && (c < QLatin1Char('a') || c > QLatin1Char('f'))) return QString();
    }
    return QStringLiteral("MD5 ") + trimmed;
}

QString joined(const QString& head, const QStringList& facts) {
    QStringList present;
    for (const QString& fact : facts) {
        if (!fact.isEmpty()) present << fact;
    }
    const QString separator = QStringLiteral(" · ");
    return present.isEmpty() ? head : head + separator + present.join(separator);
}

}  // namespace

QString sizeText(const QString& bytes) {
    bool ok = false;
    const qint64 value = bytes.trimmed().toLongLong(&ok);
    if (!ok || value <= 0) return QString();
    return QStringLiteral("大小 ") + QLocale::c().formattedDataSize(value);
}

QString missingPictureText(const QString& payload) {
    QDomDocument document;
    const QDomElement img = firstElement(payload, QStringLiteral("img"), &document);
    QString size = sizeText(img.attribute(QStringLiteral("hdlength")));
    if (size.isEmpty()) size = sizeText(img.attribute(QStringLiteral("length")));
    return joined(QStringLiteral("图片文件不在备份中"), {size, digestText(img.attribute(QStringLiteral("md5")))});
}

QString missingVideoText(const QString& payload) {
    QDomDocument document;
    const QDomElement video = firstElement(payload, QStringLiteral("videomsg"), &document);
    bool ok = false;
    const int seconds = video.attribute(QStringLiteral("playlength")).toInt(&ok);
    const QString duration = ok && seconds > 0 ? QStringLiteral("时长 %1 秒").arg(seconds) : QString();
    return joined(QStringLiteral("视频文件不在备份中"),
                  {duration, sizeText(video.attribute(QStringLiteral("length"))),
                   digestText(video.attribute(QStringLiteral("md5")))});
}

QString locationText(const QString& payload) {
    QDomDocument document;
    const QDomElement location = firstElement(payload, QStringLiteral("location"), &document);
    if (location.isNull()) return QString();
    QStringList names;
    for (const char* attribute : {"poiname", "label"}) {
        const QString value = location.attribute(QLatin1String(attribute)).trimmed();
        if (!value.isEmpty() && !names.contains(value)) names << value;
    }
    bool xOk = false;
    bool yOk = false;
    const double x = location.attribute(QStringLiteral("x")).toDouble(&xOk);
    const double y = location.attribute(QStringLiteral("y")).toDouble(&yOk);
    const QString place = xOk && yOk ? QStringLiteral("(%1, %2)").arg(x, 0, 'f', 6).arg(y, 0, 'f', 6) : QString();
    if (names.isEmpty() && place.isEmpty()) return QString();
    return QStringLiteral("位置：") + (names + QStringList{place}).filter(QRegExp(QStringLiteral("."))).join(QLatin1Char(' '));
}

QString fileText(const QString& title, const QString& payload) {
    QDomDocument document;
    const QDomElement attach = firstElement(payload, QStringLiteral("appattach"), &document);
    const QString extension = attach.firstChildElement(QStringLiteral("fileext")).text().trimmed();
    const QString name = title.trimmed().isEmpty() ? QStringLiteral("（无文件名）") : title.trimmed();
    return joined(QStringLiteral("文件：") + name,
                  {sizeText(attach.firstChildElement(QStringLiteral("totallen")).text()),
                   extension.isEmpty() ? QString() : QStringLiteral("类型 ") + extension});
}

}  // namespace app
}  // namespace talwen
