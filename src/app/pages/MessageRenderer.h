#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include <QString>

#include "app/store/ChatEntry.h"
#include "app/store/FriendEntry.h"
#include "app/store/LostChatEntry.h"

class QTextStream;

namespace talwen {
namespace app {

// Map from a messenger file's path inside the backup ("Documents/<account>/Img/...")
// to the name of the file that holds it in the backup directory.
using MediaFileMap = std::map<QString, QString>;

// Everything a conversation page depends on besides its messages. The pointed-to
// maps must outlive the renderer.
struct RenderContext {
    const std::map<int32_t, FriendEntry>* friendMap = nullptr;  // senders of group chats
    QString accountDir;    // 32-character account directory under "Documents/"
    QString backupDir;     // directory of the backup's files
    const MediaFileMap* mediaFiles = nullptr;
    QString ownerPicture;  // picture address of the account owner; empty: default face
    // Set for an export: pictures and voice notes are copied to exportDir + "/files"
    // and referred to relatively; empty for the viewer, which links into the backup.
    QString exportDir;
};

// Writes a conversation as an HTML page of chat bubbles. Texts from the scanned
// database are HTML-escaped; everything else is written as the page format fixes it.
// Stateless apart from the context; usable from any one thread at a time.
class MessageRenderer {
public:
    explicit MessageRenderer(const RenderContext& context);

    // The page of a known contact: head, one wrapped message per entry, end.
    void writeContactPage(QTextStream& out, const FriendEntry& contact,
                          const std::vector<ChatEntry>& conversation) const;
    // The page of one unknown-friend group.
    void writeLostPage(QTextStream& out, const std::vector<LostChatEntry>& group) const;

    // The body of one known-contact message; `index` is its position in the conversation.
    void renderMessageBody(const ChatEntry& entry, QTextStream& out, const QString& contactDigest, int index) const;
    void renderLostMessageBody(const LostChatEntry& entry, QTextStream& out) const;

    // Removes markup from a system notice.
    static QString stripTags(const QString& text);
    // MD5 of the user name's UTF-8 bytes, 32 lower-case hex digits.
    static QString contactDigest(const QString& usrName);
    // The message without the sender prefix of a group message ("name:\n"); text
    // messages keep the line break.
    static QString messageText(const QString& message, const QString& taggedUserName, int32_t type);

private:
    enum class PageKind { Contact, Lost };
    struct Message {
        int32_t des;
        int32_t obtainWay;
        int32_t type;
        QString taggedUserName;
        QString fromUserName;
        QString message;
    };

    void writeMessage(QTextStream& out, PageKind kind, const Message& message, const QString& date,
                      const FriendEntry* contact) const;
    void writeFaceAndName(QTextStream& out, PageKind kind, const Message& message, const FriendEntry* contact) const;
    void renderBody(QTextStream& out, PageKind kind, const Message& message, const QString& digest, int index,
                    int32_t mesLocalId) const;

    // The backup file name of the first media key found, empty when none.
    QString findMedia(const QString& folder, const QString& digest, const QString& localId,
                      std::initializer_list<const char*> suffixes) const;
    // The address of a media file in the backup as a file URL.
    QString backupFileUrl(const QString& fileName) const;
    // Export: copies the file into "files" and returns "files/<name>"; viewer: the file URL.
    QString mediaReference(const QString& fileName) const;

    RenderContext context_;
    std::map<QString, const FriendEntry*> sendersByUsrName_;  // first entry in ascending rcFriendId
};

}  // namespace app
}  // namespace talwen
