#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include <QString>

#include "app/store/ChatEntry.h"
#include "app/store/ConversationSlice.h"
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
    // The picture cache (store/PictureNames.h). When set, faces come from it instead
    // of the picture addresses: the cached file (copied to "files" by an export), or
    // the default face when there is none, so that a page never shows a broken
    // picture and is never a reason to go online. Empty: the addresses as they are.
    QString pictureCacheDir;
    QString ownerUsrName;  // names the owner's cached picture
    // Message times in UTC instead of the local time; the page header names the zone either way.
    bool utc = false;
    // Encrypted backups: called with a media file's name before it is looked for
    // in backupDir, which holds only the files decrypted so far; it decrypts it there.
    std::function<void(const QString& fileName)> prepareMedia;
    // Directory of the page being written: voice notes go below it as scripts
    // ("voice/<file>.js", VoiceNote.h). Empty: exportDir.
    QString pageDir;
};

// The link of a slice page's load-earlier element: "#wcr-earlier:" + the createTime
// and rcChatId of the slice's oldest message ("#wcr-earlier:1420070400/17"). It is
// an anchor of the page itself, so a view never leaves the page for it; the window
// catches it and puts the earlier messages above.
extern const char* const kEarlierLinkPrefix;
QString earlierMessagesLink(const MessageCursor& first);
// False for any other link.
bool parseEarlierMessagesLink(const QString& link, MessageCursor* before);

// Writes a conversation as an HTML page of chat bubbles. Texts from the scanned
// database are HTML-escaped; everything else is written as the page format fixes it.
// Stateless apart from the context; usable from any one thread at a time.
class MessageRenderer {
public:
    explicit MessageRenderer(const RenderContext& context);

    // The page of a known contact: head, one wrapped message per entry, end.
    void writeContactPage(QTextStream& out, const FriendEntry& contact,
                          const std::vector<ChatEntry>& conversation) const;
    // A page of one slice of a long conversation (the view's first page: the latest
    // messages). Above them, when earlier messages exist, the load-earlier element
    // (earlierLink) that the view turns into the next slice.
    void writeContactSlicePage(QTextStream& out, const FriendEntry& contact, const ConversationSlice& slice) const;
    // The wrapped messages of a slice alone, for the view to put above what it shows.
    // Voice notes of slices are numbered by rcChatId, unique across slices.
    void writeContactMessages(QTextStream& out, const FriendEntry& contact, const ConversationSlice& slice) const;
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

    void writeContactMessages(QTextStream& out, const FriendEntry& contact, const std::vector<ChatEntry>& messages,
                              bool indexByChatId) const;
    // The line under the page head that says in which zone the times are written.
    void writeZoneNote(QTextStream& out, const std::vector<ChatEntry>& messages) const;
    void writeZoneNote(QTextStream& out, const std::vector<LostChatEntry>& group) const;
    // The face of a picture address: the address itself without a picture cache;
    // with one, the cached file `cacheName`, else the default face.
    QString faceAddress(const QString& headImgUrl, const QString& cacheName) const;
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
    std::map<QString, const FriendEntry*> sendersByUsrName_;
    mutable std::map<QString, QString> cachedFaces_;  // cache file name -> reference, per page writer  // first entry in ascending rcFriendId
};

}  // namespace app
}  // namespace talwen
