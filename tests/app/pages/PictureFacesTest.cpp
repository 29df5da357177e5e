#include <map>
#include <string>
#include <vector>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>
#include <QUrl>

#include <gtest/gtest.h>

#include "app/pages/MessageRenderer.h"
#include "app/support/TestFiles.h"

using talwen::app::ChatEntry;
using talwen::app::FriendEntry;
using talwen::app::MessageRenderer;
using talwen::app::RenderContext;

using talwen::app::test::readFile;

namespace {

constexpr int64_t k2015 = 1420070400;  // 2015-01-01 00:00:00 UTC

std::string face(const QString& address, bool plain = false) {
    return (QStringLiteral(R"(<li class="chat-face"><img src=")") + address +
            (plain ? QStringLiteral(R"("></li>)") : QStringLiteral(R"(" width="40" height="40"></li>)")))
        .toStdString();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Contacts with a cached picture, with an address but nothing cached, and without
// an address; the owner's picture is cached.
class PictureFacesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        cacheDir = root.path() + "/cache";
        exportDir = root.path() + "/export";
        ASSERT_TRUE(QDir().mkpath(cacheDir));
        ASSERT_TRUE(QDir().mkpath(exportDir + "/files"));
        ASSERT_TRUE(writeFile(cacheDir + "/1.png", "pal picture"));
        ASSERT_TRUE(writeFile(cacheDir + "/wxid_me.png", "own picture"));
        ASSERT_TRUE(writeFile(exportDir + "/files/1.png", "a contact 1 of an earlier store"));

        friends[1] = entry(1, "pal", "http://img/pal/132");
        friends[2] = entry(2, "member", "http://img/member/132");
        friends[3] = entry(3, "nopic", "");
        context.friendMap = &friends;
        context.ownerPicture = "http://img/me/132";
        context.ownerUsrName = "wxid_me";
        context.pictureCacheDir = cacheDir;
    }

    static FriendEntry entry(int32_t id, const char* usrName, const char* address) {
        FriendEntry f;
        f.rcFriendId = id;
        f.usrName = usrName;
        f.nickName = QString(usrName) + "-nick";
        f.headImgUrl = address;
        return f;
    }

    static ChatEntry message(int des, const QString& taggedUserName = QString()) {
        ChatEntry m;
        m.type = 1;
        m.des = des;
        m.obtainWay = 1;
        m.createTime = k2015;
        m.taggedUserName = taggedUserName;
        m.message = taggedUserName.isEmpty() ? QStringLiteral("hi") : taggedUserName + ":\nhi";
        return m;
    }

    std::string page(const FriendEntry& contact, const std::vector<ChatEntry>& messages) const {
        QString text;
        QTextStream out(&text);
        MessageRenderer(context).writeContactPage(out, contact, messages);
        out.flush();
        return text.toStdString();
    }

    QString fileUrl(const QString& name) const {
        return QUrl::fromLocalFile(QDir(cacheDir).absoluteFilePath(name)).toString(QUrl::FullyEncoded);
    }

    QTemporaryDir root;
    QString cacheDir;
    QString exportDir;
    std::map<int32_t, FriendEntry> friends;
    RenderContext context;
};

}  // namespace

TEST_F(PictureFacesTest, ViewerAndExportShowCachedPicturesOrTheDefaultFace) {
    const QString defaultFace = "images/faces05.png";
    const struct {
        const char* what;
        bool exported;
        std::vector<std::string> faces;  // received, sent, group member, group member without address
    } cases[] = {
        {"viewer",
         false,
         {face(fileUrl("1.png")), face(fileUrl("wxid_me.png")), face(defaultFace), face(defaultFace, true)}},
        {"export", true, {face("files/1.png"), face("files/wxid_me.png"), face(defaultFace), face(defaultFace, true)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        context.exportDir = c.exported ? exportDir : QString();
        const std::string text =
            page(friends[1], {message(1), message(0), message(1, "member"), message(1, "nopic")});
        size_t at = 0;
        for (const std::string& expected : c.faces) {
            const size_t found = text.find(expected, at);
            ASSERT_NE(std::string::npos, found) << expected << "\nin " << text;
            at = found + expected.size();
        }
        EXPECT_EQ(std::string::npos, text.find("http://")) << "a page with a cache never goes online";
    }
    // The export's copies are those of the cache, an older copy replaced.
    EXPECT_EQ(QByteArray("pal picture"), readFile(exportDir + "/files/1.png"));
    EXPECT_EQ(QByteArray("own picture"), readFile(exportDir + "/files/wxid_me.png"));
    EXPECT_FALSE(QFile::exists(exportDir + "/files/2.png"));
}

TEST_F(PictureFacesTest, WithoutACacheEveryFaceIsTheDefaultFace) {
    // Remote addresses break offline and expire: a page without cached pictures
    // shows the bundled face for everybody and never names an address.
    context.pictureCacheDir.clear();
    const std::string text = page(friends[1], {message(1), message(0), message(1, "member")});
    EXPECT_EQ(std::string::npos, text.find("http://")) << text;
    size_t faces = 0;
    for (size_t at = text.find(face("images/faces05.png")); at != std::string::npos;
         at = text.find(face("images/faces05.png"), at + 1)) {
        ++faces;
    }
    EXPECT_EQ(3u, faces);
}

TEST_F(PictureFacesTest, OwnerWithoutCachedPictureShowsTheDefaultFace) {
    context.ownerUsrName = "wxid_other";
    EXPECT_NE(std::string::npos, page(friends[1], {message(0)}).find(face("images/faces05.png")));
    context.ownerUsrName.clear();
    EXPECT_NE(std::string::npos, page(friends[1], {message(0)}).find(face("images/faces05.png")));
}
