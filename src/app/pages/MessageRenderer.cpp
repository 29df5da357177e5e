#include "app/pages/MessageRenderer.h"

#include <QDebug>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <QUrl>

#include "app/pages/HtmlText.h"
#include "app/pages/MessageFallbacks.h"
#include "app/store/PageTime.h"
#include "app/pages/VoiceNote.h"
#include "app/store/PictureNames.h"
#include "app/store/TimeText.h"
#include "backup/BoundedXml.h"
#include "backup/ReadOnlyFile.h"
#include "wchat/Md5.h"

namespace talwen {
namespace app {

const char* const kEarlierLinkPrefix = "#wcr-earlier:";

namespace {

const char* const kContactHead =
    R"HTML(<!DOCTYPE html>            <html lang="en">            <head>            <meta charset="utf-8">            <meta http-equiv="X-UA-Compatible" content="IE=edge">            <meta name="viewport" content="width=device-width, initial-scale=1">            <title>聊天界面</title>            <link href="css/page-base.css" rel="stylesheet">            <link href="css/page.css" rel="stylesheet">            <script src="js/page.js"></script>            </head>            <body>            <div class="container">)HTML";

const char* const kLostHead =
    R"HTML(<!DOCTYPE html><html lang="en"><head>            <meta charset="utf-8"><meta http-equiv="X-UA-Compatible" content="IE=edge">            <meta name="viewport" content="width=device-width, initial-scale=1"><title>聊天界面</title>            <link href="css/page-base.css" rel="stylesheet"><link href="css/page.css" rel="stylesheet">            <script src="js/page.js"></script>            </head><body><div class="container">)HTML";

const char* const kScriptLines[] = {
    R"HTML(<script type="text/javascript">)HTML",
    R"HTML(            function playOrPaused(id,obj){)HTML",
    R"HTML(             var  audio = document.getElementById(id);)HTML",
    R"HTML(              if(audio.paused){)HTML",
    R"HTML(                audio.play();)HTML",
    R"HTML(                obj.innerHTML='暂停';)HTML",
    R"HTML(                return;)HTML",
    R"HTML(              })HTML",
    R"HTML(              audio.pause();)HTML",
    R"HTML(              obj.innerHTML='播放';)HTML",
    R"HTML(            })HTML",
    R"HTML(           </script>)HTML",
};

const char* const kDefaultFace = "images/faces05.png";
const char* const kLoadEarlierText = "查看更早的消息";
const char* const kFaceEnd = R"HTML(" width="40" height="40"></li>)HTML";
const char* const kPlainFaceEnd = R"HTML("></li>)HTML";
const char* const kNameStart = R"HTML(<li><p class="chat-name">)HTML";

void writePageEnd(QTextStream& out) {
    out << "</div>";
    bool first = true;
    for (const char* line : kScriptLines) {
        if (!first) {
            out << "\r\n";
        }
        first = false;
        out << QString::fromUtf8(line);
    }
    out << "</body></html>";
}

QString pointer(int32_t des) {
    return des != 0 ? QStringLiteral(R"HTML(<img class="icon-tir" src="images/icon-tri3.png">)HTML")
                    : QStringLiteral(R"HTML(<img class="icon-tir" src="images/icon-tri1.png">)HTML");
}

// The text box around an already escaped (or fixed) text.
void writeTextBox(QTextStream& out, const QString& html, int32_t des) {
    out << R"HTML(<div class="chat-box">)HTML" << R"HTML(<p class="chat-cxt">)HTML" << html << "</p>" << pointer(des);
}

// The chat partner writes these payloads: nesting beyond the limit counts as not
// parsed, since the DOM recurses once per level.
template <typename Text>
bool parseXml(QDomDocument* document, const Text& text) {
    return backup::BoundedXml::parse(text, document) == backup::BoundedXml::Outcome::Parsed;
}

// The placeholder of media that is not in the backup, with what the message says of it.
void writeMissingMedia(QTextStream& out, const QString& text) {
    out << R"HTML(<span class="media-missing">)HTML" << escapeHtmlText(text) << "</span>";
}

}  // namespace

MessageRenderer::MessageRenderer(const RenderContext& context) : context_(context) {
    if (context_.friendMap) {
        for (const auto& item : *context_.friendMap) {
            sendersByUsrName_.emplace(item.second.usrName, &item.second);  // first (lowest id) wins
        }
    }
}

QString MessageRenderer::contactDigest(const QString& usrName) {
    return QString::fromStdString(wchat::Md5::hexDigest(usrName.toUtf8().toStdString()));
}

QString MessageRenderer::messageText(const QString& message, const QString& taggedUserName, int32_t type) {
    if (taggedUserName.isEmpty()) {
        return message;
    }
    const int prefix = taggedUserName.size() + (type == 1 ? 1 : 2);
    return message.mid(prefix);
}

QString MessageRenderer::stripTags(const QString& text) {
    QString result = text;
    while (true) {
        const int lt = result.indexOf(QLatin1Char('<'));
        const int gt = result.indexOf(QLatin1Char('>'));
        if (lt < 0 && gt < 0) {
            return result;
        }
        if (gt >= 0 && (lt < 0 || gt < lt)) {
            result = result.mid(gt + 1);
        } else if (gt < 0) {
            result = result.left(lt);
        } else {
            result.remove(lt, gt - lt + 1);
        }
    }
}

void MessageRenderer::writeContactPage(QTextStream& out, const FriendEntry& contact,
                                       const std::vector<ChatEntry>& conversation) const {
    out << QString::fromUtf8(kContactHead);
    writeZoneNote(out, conversation);
    writeContactMessages(out, contact, conversation, false);
    writePageEnd(out);
}

void MessageRenderer::writeContactSlicePage(QTextStream& out, const FriendEntry& contact,
                                            const ConversationSlice& slice) const {
    out << QString::fromUtf8(kContactHead);
    writeZoneNote(out, slice.messages);
    if (slice.hasEarlier) {
        out << R"HTML(<div class="load-earlier" id="load-earlier"><a href=")HTML"
            << escapeHtmlAttribute(earlierMessagesLink(slice.first)) << R"HTML(">)HTML"
            << QString::fromUtf8(kLoadEarlierText) << "</a></div>";
    }
    writeContactMessages(out, contact, slice.messages, true);
    writePageEnd(out);
}

void MessageRenderer::writeContactMessages(QTextStream& out, const FriendEntry& contact,
                                           const ConversationSlice& slice) const {
    writeContactMessages(out, contact, slice.messages, true);
}

void MessageRenderer::writeContactMessages(QTextStream& out, const FriendEntry& contact,
                                           const std::vector<ChatEntry>& messages, bool indexByChatId) const {
    const QString digest = contactDigest(contact.usrName);
    for (size_t i = 0; i < messages.size(); ++i) {
        const ChatEntry& entry = messages[i];
        if (yearOfTimeText(formatUtcTime(entry.createTime)) <= 2009) {
            continue;
        }
        const Message message{entry.des, entry.obtainWay, entry.type, entry.taggedUserName, QString(), entry.message};
        writeMessage(out, PageKind::Contact, message, pageTimeText(entry.createTime, context_.utc), &contact);
        renderBody(out, PageKind::Contact, message, digest, indexByChatId ? entry.rcChatId : static_cast<int>(i),
                   entry.mesLocalId);
        out << "</div></li></ul></div>";
    }
}

QString earlierMessagesLink(const MessageCursor& first) {
    return QStringLiteral("%1%2/%3")
        .arg(QLatin1String(kEarlierLinkPrefix))
        .arg(first.createTime)
        .arg(first.rcChatId);
}

bool parseEarlierMessagesLink(const QString& link, MessageCursor* before) {
    const QString prefix = QLatin1String(kEarlierLinkPrefix);
    if (!link.startsWith(prefix)) {
        return false;
    }
    const QStringList parts = link.mid(prefix.size()).split(QLatin1Char('/'));
    if (parts.size() != 2) {
        return false;
    }
    bool timeOk = false;
    bool idOk = false;
    const qlonglong time = parts[0].toLongLong(&timeOk);
    const int id = parts[1].toInt(&idOk);
    if (!timeOk || !idOk) {
        return false;
    }
    *before = MessageCursor{time, id};
    return true;
}

void MessageRenderer::writeLostPage(QTextStream& out, const std::vector<LostChatEntry>& group) const {
    out << QString::fromUtf8(kLostHead);
    writeZoneNote(out, group);
    for (const LostChatEntry& entry : group) {
        const Message message{entry.des,     entry.obtainWay,    entry.type,
                              entry.taggedUserName, entry.fromUserName, entry.message};
        // The store's view gives local time; a page in UTC converts it back.
        int64_t seconds = 0;
        const QString date = context_.utc && parseLocalTimeText(entry.created, &seconds)
                                 ? pageTimeText(seconds, true)
                                 : entry.created;
        writeMessage(out, PageKind::Lost, message, date, nullptr);
        renderBody(out, PageKind::Lost, message, QString(), 0, 0);
        out << "</div></li></ul></div>";
    }
    writePageEnd(out);
}

void MessageRenderer::writeZoneNote(QTextStream& out, const std::vector<ChatEntry>& messages) const {
    std::set<int> offsets;
    if (!context_.utc) {
        for (const ChatEntry& entry : messages) offsets.insert(pageUtcOffset(entry.createTime, false));
    }
    out << R"HTML(<p class="page-zone">)HTML" << QStringLiteral("时间为 ") << escapeHtmlText(zoneNote(offsets, context_.utc))
        << "</p>";
}

void MessageRenderer::writeZoneNote(QTextStream& out, const std::vector<LostChatEntry>& group) const {
    std::set<int> offsets;
    if (!context_.utc) {
        for (const LostChatEntry& entry : group) {
            int64_t seconds = 0;
            if (parseLocalTimeText(entry.created, &seconds)) offsets.insert(pageUtcOffset(seconds, false));
        }
    }
    out << R"HTML(<p class="page-zone">)HTML" << QStringLiteral("时间为 ") << escapeHtmlText(zoneNote(offsets, context_.utc))
        << "</p>";
}

void MessageRenderer::renderMessageBody(const ChatEntry& entry, QTextStream& out, const QString& digest,
                                        int index) const {
    const Message message{entry.des, entry.obtainWay, entry.type, entry.taggedUserName, QString(), entry.message};
    renderBody(out, PageKind::Contact, message, digest, index, entry.mesLocalId);
}

void MessageRenderer::renderLostMessageBody(const LostChatEntry& entry, QTextStream& out) const {
    const Message message{entry.des,     entry.obtainWay,    entry.type,
                          entry.taggedUserName, entry.fromUserName, entry.message};
    renderBody(out, PageKind::Lost, message, QString(), 0, 0);
}

void MessageRenderer::writeMessage(QTextStream& out, PageKind kind, const Message& message, const QString& date,
                                   const FriendEntry* contact) const {
    const bool live = message.obtainWay == 1;
    if (message.des == 1) {
        out << (live ? R"HTML(<div class="chat leftside">)HTML" : R"HTML(<div class="chat leftside delete-left">)HTML");
    } else if (message.des == 0) {
        out << (live ? R"HTML(<div class="chat rightside">)HTML" : R"HTML(<div class="chat rightside delete">)HTML");
    } else {
        out << (live ? R"HTML(<div class="chat leftside">)HTML" : R"HTML(<div class="chat leftside delete">)HTML");
    }
    out << R"HTML(<p class="chat-date">)HTML" << escapeHtmlText(date) << "</p>";
    out << (kind == PageKind::Contact ? R"HTML(<ul class="chat-main">)HTML" : R"HTML(<ul class="chat chat-main">)HTML");
    out << R"HTML(<li class="chat-face"><img src=")HTML";
    writeFaceAndName(out, kind, message, contact);
}

void MessageRenderer::writeFaceAndName(QTextStream& out, PageKind kind, const Message& message,
                                       const FriendEntry* contact) const {
    if (message.des == 0) {
        const QString ownFace = context_.ownerPicture.isEmpty()
                                    ? QString::fromLatin1(kDefaultFace)
                                    : faceAddress(context_.ownerPicture, ownerPictureFileName(context_.ownerUsrName));
        out << escapeHtmlAttribute(ownFace) << kFaceEnd << kNameStart << "</p>";
        return;
    }
    if (message.taggedUserName.isEmpty()) {
        // A contact without a picture address (made-up contacts among them) shows the
        // default face instead of an empty image.
        const QString contactFace = contact == nullptr || contact->headImgUrl.isEmpty()
                                        ? QString::fromLatin1(kDefaultFace)
                                        : faceAddress(contact->headImgUrl, contactPictureFileName(contact->rcFriendId));
        if (kind == PageKind::Lost) {
            out << kDefaultFace << kFaceEnd << kNameStart << escapeHtmlText(message.fromUserName) << "</p>";
        } else if (message.des == 1) {
            out << escapeHtmlAttribute(contactFace) << kFaceEnd << R"HTML(<li><p class="chat-name"></p>)HTML";
        } else {
            out << escapeHtmlAttribute(contactFace) << kFaceEnd << kNameStart << escapeHtmlText(contact->nickName)
                << "</p>";
        }
        return;
    }
    // A group chat: the sender is the contact whose user name was tagged in front of the message.
    auto sender = sendersByUsrName_.find(message.taggedUserName);
    if (sender != sendersByUsrName_.end()) {
        const FriendEntry& entry = *sender->second;
        if (entry.headImgUrl.isEmpty()) {
            out << kDefaultFace << kPlainFaceEnd;
        } else {
            out << escapeHtmlAttribute(faceAddress(entry.headImgUrl, contactPictureFileName(entry.rcFriendId)))
                << kFaceEnd;
        }
        out << "<li>" << kNameStart << escapeHtmlText(entry.conRemark.isEmpty() ? entry.nickName : entry.conRemark)
            << "</p>";
    } else {
        out << kDefaultFace << kPlainFaceEnd;
        if (kind == PageKind::Lost) {
            out << "<li>";
        }
        out << kNameStart << escapeHtmlText(message.taggedUserName) << "</p>";
    }
}

QString MessageRenderer::faceAddress(const QString& /*headImgUrl*/, const QString& cacheName) const {
    // A remote address would show a broken picture offline or once it expires, and
    // would make opening a page a reason to go online: only local pictures are shown.
    if (context_.pictureCacheDir.isEmpty() || cacheName.isEmpty()) {
        return QString::fromLatin1(kDefaultFace);
    }
    auto known = cachedFaces_.find(cacheName);
    if (known != cachedFaces_.end()) {
        return known->second;
    }
    QString face = QString::fromLatin1(kDefaultFace);
    const QFileInfo cached(context_.pictureCacheDir + QStringLiteral("/") + cacheName);
    if (cached.isFile()) {
        if (context_.exportDir.isEmpty()) {
            face = QUrl::fromLocalFile(cached.absoluteFilePath()).toString(QUrl::FullyEncoded);
        } else {
            // Replaced on every export: ids are those of one recovery store, so an
            // older copy may show somebody else.
            const QString target = context_.exportDir + QStringLiteral("/files/") + cacheName;
            QFile::remove(target);
            if (QFile::copy(cached.absoluteFilePath(), target)) {
                face = QStringLiteral("files/") + QString::fromLatin1(QUrl::toPercentEncoding(cacheName));
            }
        }
    }
    cachedFaces_[cacheName] = face;
    return face;
}

QString MessageRenderer::findMedia(const QString& folder, const QString& digest, const QString& localId,
                                   std::initializer_list<const char*> suffixes) const {
    if (!context_.mediaFiles || localId.isEmpty()) {
        return QString();  // recovered messages have no local id and never find media
    }
    const QString base =
        QStringLiteral("Documents/") + context_.accountDir + folder + digest + QStringLiteral("/") + localId;
    for (const char* suffix : suffixes) {
        // Only a regular file below the backup directory, reached through no link, is
        // shown or copied; anything else could pull a file of this computer into a page.
        auto it = context_.mediaFiles->find(base + QLatin1String(suffix));
        if (it != context_.mediaFiles->end() && context_.prepareMedia) context_.prepareMedia(it->second);
        if (it != context_.mediaFiles->end() && backup::ReadOnlyFile::isRegularFileInside(context_.backupDir, it->second)) {
            return it->second;
        }
    }
    return QString();
}

QString MessageRenderer::backupFileUrl(const QString& fileName) const {
    const QString path = QFileInfo(context_.backupDir + QStringLiteral("/") + fileName).absoluteFilePath();
    return QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded);
}

QString MessageRenderer::mediaReference(const QString& fileName) const {
    if (context_.exportDir.isEmpty()) {
        return backupFileUrl(fileName);
    }
    // "xx/<fileID>" in backups with a Manifest.db: the file ID alone is unique.
    const QString name = fileName.section(QLatin1Char('/'), -1);
    const QString target = context_.exportDir + QStringLiteral("/files/") + name;
    if (!QFileInfo::exists(target)) {
        // A failed copy keeps the reference: the page still names the file.
        backup::ReadOnlyFile::copyFile(context_.backupDir + QStringLiteral("/") + fileName, target);
    }
    return QStringLiteral("files/") + name;
}

void MessageRenderer::renderBody(QTextStream& out, PageKind kind, const Message& message, const QString& digest,
                                 int index, int32_t mesLocalId) const {
    const bool lost = kind == PageKind::Lost;
    const int32_t des = message.des;
    const QString t = messageText(message.message, message.taggedUserName, message.type);
    const QString localId = message.obtainWay == 1 ? QString::number(mesLocalId) : QString();

    switch (message.type) {
        case 1:
            writeTextBox(out, escapeHtmlText(t), des);
            break;
        case 3: {
            out << R"HTML(<div class="chat-box chat-pic"><p>)HTML";
            const QString file = lost ? QString() : findMedia(QStringLiteral("/Img/"), digest, localId,
                                                              {".pic_hd", ".pic", ".pic_thum"});
            if (file.isEmpty()) {
                writeMissingMedia(out, missingPictureText(t));
                out << "</p>";
            } else {
                out << R"HTML(<img src = ")HTML" << escapeHtmlAttribute(mediaReference(file))
                    << R"HTML(" width = "110"></p>)HTML";
            }
            break;
        }
        case 34: {
            out << R"HTML(<div class="chat-box voice-box">)HTML" << pointer(des);
            QDomDocument document;
            if (parseXml(&document, t)) {
                QString length;
                for (QDomNode node = document.documentElement().firstChild(); !node.isNull();
                     node = node.nextSibling()) {
                    if (node.nodeName() == QLatin1String("voicemsg")) {
                        length = node.toElement().attribute(QStringLiteral("voicelength"));
                        break;
                    }
                }
                const int milliseconds = length.toInt();
                out << R"HTML(<span class="voice-time">)HTML" << QString::number(milliseconds / 1000 + 1)
                    << "'</span>";
            } else {
                out << R"HTML(<span class="voice-time">)HTML" << QStringLiteral("未知长度") << "</span>";
            }
            out << R"HTML(<p class="chat-voice">)HTML";
            if (lost) {
                out << (des != 0 ? R"HTML(<img  onclick="playOrPaused('firefox',this);" src="images/icon-voice_0.png">)HTML"
                                 : R"HTML(<img  onclick="playOrPaused('firefox',this);" src="images/icon-voice.png">)HTML");
                out << R"HTML(<audio src=")HTML" << R"HTML(#")HTML" << R"HTML(id="audio"></audio>)HTML";
                writeVoiceProblem(out, kVoiceMissingText);
                out << "</p>";
                break;
            }
            const QString file = findMedia(QStringLiteral("/Audio/"), digest, localId, {".aud"});
            if (!file.isEmpty()) {
                // The original file still goes to "files" for examiners; the page plays
                // the note through its script (VoiceNote.h).
                mediaReference(file);
                const QString pageDir = context_.pageDir.isEmpty() ? context_.exportDir : context_.pageDir;
                const VoiceScript voice = writeVoiceScript(context_.backupDir + QStringLiteral("/") + file,
                                                           file.section(QLatin1Char('/'), -1), pageDir);
                writeVoicePlayer(out, des != 0, QStringLiteral("audio") + QString::number(index), voice);
                out << "</p>";
                break;
            }
            out << R"HTML(<img  onclick="playOrPaused('audio)HTML" << index;
            out << (des != 0 ? R"HTML(',this);" src="images/icon-voice_0.png">)HTML"
                             : R"HTML(',this);" src="images/icon-voice.png">)HTML");
            out << R"HTML(<audio src=")HTML" << R"HTML(#")HTML";
            out << R"HTML(id="audio)HTML" << index << R"HTML("></audio>)HTML";
            writeVoiceProblem(out, kVoiceMissingText);
            out << "</p>";
            break;
        }
        case 42: {
            QDomDocument document;
            if (!parseXml(&document, t)) {
                writeTextBox(out, escapeHtmlText(QStringLiteral("<名片内容无法解析>")), des);
                break;
            }
            const QDomElement root = document.documentElement();
            out << R"HTML(<div class="chat-box chat-card-box">)HTML";
            out << (des != 0 ? R"HTML(<img class="icon-tir" src="images/icon-tri3.png">)HTML"
                             : R"HTML(<img class="icon-tir" src="images/icon-tri4.png">)HTML");
            out << R"HTML(<p class="chat-card">)HTML" << QStringLiteral("个人名片") << R"HTML(</p><ul><li><p><img src=")HTML"
                << kDefaultFace  // the card's picture address is remote
                << R"HTML("width="50" height="50"></p></li>)HTML" << R"HTML(<li class="chat-card-info"><p><span>)HTML"
                << escapeHtmlText(root.attribute(QStringLiteral("username"))) << "</span>"
                << R"HTML(<p class="nicheng">)HTML" << escapeHtmlText(root.attribute(QStringLiteral("nickname")))
                << "<p>";
            out << (des != 0 ? R"HTML(</p></li></ul><img class="icon-tir" src="images/icon-tri3.png">)HTML"
                             : R"HTML(</p></li></ul><img class="icon-tir" src="images/icon-tri1.png">)HTML");
            break;
        }
        case 43:
        case 62: {
            QString file;
            if (!lost) {
                file = findMedia(QStringLiteral("/Video/"), digest, localId, {".mp4"});
                if (file.isEmpty()) {
                    file = findMedia(QStringLiteral("/Video/"), digest, localId, {".video_thum"});
                }
            }
            if (file.isEmpty()) {
                out << R"HTML(<div class="chat-box chat-pic"><p><img src="images/videob.png">)HTML";
                writeMissingMedia(out, missingVideoText(t));
                out << "</p>";
            } else {
                // Videos are large: pages link into the backup instead of copying them.
                out << R"HTML(<a href =")HTML" << escapeHtmlAttribute(backupFileUrl(file)) << R"HTML(">)HTML"
                    << R"HTML(<img src="images/video.png">)HTML" << "</a>";
            }
            break;
        }
        case 47:
            writeTextBox(out, escapeHtmlText(QStringLiteral("<自定义表情暂无法显示>")), des);
            break;
        case 48: {
            const QString place = locationText(t);
            writeTextBox(out, place.isEmpty() ? escapeHtmlText(QStringLiteral("<位置暂无法解析>")) : escapeHtmlText(place),
                         des);
            break;
        }
        case 49: {
            QDomDocument document;
            if (!parseXml(&document, t)) {
                writeTextBox(out, escapeHtmlText(lost ? QStringLiteral("<分享链接内容无法解析>") : QStringLiteral("<链接内容无法解析>")), des);
                break;
            }
            QString title, description, appType, url;
            for (QDomElement child = document.documentElement().firstChildElement(); !child.isNull();
                 child = child.nextSiblingElement()) {
                for (QDomNode node = child.firstChild(); !node.isNull(); node = node.nextSibling()) {
                    const QString name = node.nodeName();
                    if (name == QLatin1String("title")) {
                        title = node.toElement().text();
                    } else if (name == QLatin1String("des")) {
                        description = node.toElement().text();
                    } else if (name == QLatin1String("type")) {
                        appType = node.toElement().text();
                    } else if (name == QLatin1String("url")) {
                        url = node.toElement().text();
                    }
                }
            }
            if (appType == QLatin1String("2001")) {
                const int colon = description.indexOf(QStringLiteral("："));
                const QString wish = colon >= 0 ? description.mid(colon + 1) : description.mid(1);
                out << R"HTML(<div class="chat-box chat-hb">)HTML" << R"HTML(<img class="hb-pic01" src="images/hb01.png">)HTML"
                    << "<p>" << escapeHtmlText(wish) << "</p><p>" << QStringLiteral("领取红包") << "</p>" << "<div>" << QStringLiteral("微信红包");
                out << (des != 0
                            ? R"HTML(<img class="hb-icon" src="images/hb02.png"></div><img class="icon-tir" src="images/icon-tri6.png">)HTML"
                            : R"HTML(<img class="hb-icon" src="images/hb02.png"></div><img class="icon-tir" src="images/icon-tri5.png">)HTML");
            } else if (appType == QLatin1String("6")) {
                out << R"HTML(<div class="chat-box chat-link">)HTML" << pointer(des) << "<p>"
                    << R"HTML(<img class="icon_link" src="images/icon-00.png">)HTML" << escapeHtmlText(fileText(title, t))
                    << "</p>";
            } else {
                // A link without the text the page would show still says what it is.
                if (appType == QLatin1String("5") && title.trimmed().isEmpty()) {
                    title = url.trimmed().isEmpty() ? QStringLiteral("（无标题）") : url;
                } else if (appType != QLatin1String("5") && description.trimmed().isEmpty()) {
                    description = title.trimmed().isEmpty() ? QStringLiteral("<链接内容无法解析>") : title;
                }
                out << R"HTML(<div class="chat-box chat-link">)HTML" << pointer(des) << "<p>" << R"HTML(<a href=")HTML"
                    << safeLinkTarget(url) << R"HTML(">)HTML" << R"HTML(<img class="icon_link" src="images/icon-00.png">)HTML";
                if (appType == QLatin1String("5")) {
                    out << QStringLiteral("分享链接：") << escapeHtmlText(title);
                } else {
                    out << escapeHtmlText(description);
                }
                out << "</a></p>";
            }
            break;
        }
        case 50: {
            QDomDocument document;
            // Call payloads are a sequence of elements without a single root.
            const QByteArray wrapped = (QStringLiteral("<talwen>") + t + QStringLiteral("</talwen>")).toLatin1();
            if (parseXml(&document, wrapped)) {
                const QString duration = document.documentElement()
                                             .firstChildElement(QStringLiteral("voiplocalinfo"))
                                             .firstChildElement(QStringLiteral("duration"))
                                             .text();
                if (lost) {
                    out << R"HTML(<div class="chat-box">)HTML";
                }
                out << R"HTML(<div class="chat-box chat-video"><p><img src="images/icon-video.png">)HTML";
                if (duration.trimmed().isEmpty()) {
                    out << QStringLiteral(" 时间未知");  // a call payload without its duration
                } else {
                    out << escapeHtmlText(duration) << QStringLiteral(" 秒");
                }
            } else {
                out << R"HTML(<div class="chat-box chat-video"><p><img src="images/icon-video.png">)HTML" << QStringLiteral(" 时间未知");
            }
            out << (des != 0 ? R"HTML(</p><img class="icon-tir" src="images/icon-tri3.png">)HTML"
                             : R"HTML(</p><img class="icon-tir" src="images/icon-tri1.png">)HTML");
            break;
        }
        case 10000: {
            const QString notice = stripTags(t);
            writeTextBox(out, escapeHtmlText(notice.trimmed().isEmpty() ? QStringLiteral("<系统消息>") : notice), des);
            break;
        }
        default:
            qDebug().noquote().nospace() << "Message of unknown type: taggedUserName[" << message.taggedUserName << "] des["
                               << des << "] type[" << message.type << "] message[" << message.message << "]";
            writeTextBox(out, escapeHtmlText(QStringLiteral("<消息内容暂不可提取>")), des);
            break;
    }
}

}  // namespace app
}  // namespace talwen
