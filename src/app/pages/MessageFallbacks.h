#pragma once

#include <cstdint>

#include <QString>

namespace talwen {
namespace app {

// What a page can still say about a message whose media is not in the backup or
// whose payload lacks fields: facts read from the message's own XML, so that no
// message shows as an empty bubble. Every text returned is plain (not escaped).

// "图片文件不在备份中" plus "大小 … · MD5 …" from the <img> element's length
// (or hdlength) and md5 attributes, as far as the payload has them.
QString missingPictureText(const QString& payload);
// "视频文件不在备份中" plus duration (playlength), size (length) and md5.
QString missingVideoText(const QString& payload);
// "位置：" + poiname and label, then the coordinates; empty when the payload has
// no <location> element with any of them.
QString locationText(const QString& payload);
// A shared file (application message type 6): "文件：" + title, then its size
// (appattach/totallen) and extension; `title` and the payload's attachment facts.
QString fileText(const QString& title, const QString& payload);
// A byte count as people read it ("1.5 MiB"); empty for a text that is no count.
QString sizeText(const QString& bytes);

}  // namespace app
}  // namespace talwen
