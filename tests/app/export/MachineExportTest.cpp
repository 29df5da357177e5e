#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/export/ChatExporter.h"
#include "app/export/CsvWriter.h"
#include "app/export/IndexPage.h"
#include "app/export/MachineExport.h"
#include "app/pages/PageAssets.h"
#include "app/store/RecoveredData.h"
#include "app/support/TestFiles.h"
#include "app/support/TestStore.h"

using talwen::app::ChatExporter;
using talwen::app::CsvWriter;
using talwen::app::ExportedConversation;
using talwen::app::MachineExportContext;
using talwen::app::RecoveredData;
using talwen::app::RenderContext;
using talwen::common::ErrorInfo;

using talwen::app::test::readFile;

namespace {

constexpr int64_t k2015 = 1420070400;

// An RFC 4180 reader of the test's own, to read back what the writer wrote: quoted
// fields may hold commas, doubled quotes and line breaks; records end with CRLF.
std::vector<QStringList> readCsv(const QByteArray& bytes, bool* wellFormed) {
    *wellFormed = bytes.startsWith("\xEF\xBB\xBF");
    const QString text = QString::fromUtf8(bytes.mid(3));
    std::vector<QStringList> records;
    QStringList record;
    QString field;
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            if (!field.isEmpty()) *wellFormed = false;  // a quote inside an unquoted field
            quoted = true;
        } else if (c == ',') {
            record << field;
            field.clear();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            record << field;
            field.clear();
            records.push_back(record);
            record.clear();
            ++i;
        } else if (c == '\r' || c == '\n') {
            *wellFormed = false;  // a bare line break outside quotes
        } else {
            field += c;
        }
    }
    if (quoted || !field.isEmpty() || !record.isEmpty()) *wellFormed = false;
    return records;
}

// Texts a chat partner can send that break naive CSV, JSON or HTML writers.
const char* const kHostileTexts[] = {
    "plain",
    "comma, inside",
    "\"quoted\" and \"\"doubled\"\"",
    "line\nbreak",
    "windows\r\nbreak",
    "bare\rreturn",
    "trailing newline\n",
    ",\",\r\n,\"",
    " leading and trailing spaces ",
    "=SUM(A1:A2)",
    "tab\there",
    "emoji 🧧👨‍👩‍👧 and 汉字，全角逗号",
    "\u202Eoverride\u202C and \u200Fmark",
    "<script>alert(1)</script>&amp;",
    "",
};

}  // namespace

TEST(CsvWriterTest, QuotesOnlyWhatNeedsIt) {
    const struct {
        const char* field;
        const char* written;
    } cases[] = {
        {"", ""},
        {"abc", "abc"},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"a\nb", "\"a\nb\""},
        {"a\rb", "\"a\rb\""},
        {" a ", " a "},
        {"'=1'", "'=1'"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QString::fromUtf8(c.written), CsvWriter::quoteField(QString::fromUtf8(c.field))) << c.field;
    }
}

class MachineExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(work.isValid() && chosen.isValid());
        ASSERT_TRUE(talwen::app::PageAssets::install(work.path()));
        pal = store.addFriend({"wxid_pal", "Pal, \"the\" friend", "", "http://img/pal", "", 1});
        room = store.addFriend({"123@chatroom", "Room\nName", "", "", "", 1});
        int64_t time = k2015;
        for (const char* text : kHostileTexts) {
            TestStore::Chat chat;
            chat.message = text;
            chat.createTime = ++time;
            chat.mesLocalId = time - k2015;
            store.tie(pal, store.addChat(chat));
        }
        // A deleted message carved from page 42 of a group, sent by a member.
        TestStore::Chat carved;
        carved.obtainWay = 2;
        carved.hasPageNumber = true;
        carved.pageNumber = 42;
        carved.taggedUserName = "wxid_pal";
        carved.message = "wxid_pal:\nfrom the group";
        carved.createTime = k2015 + 3600;
        store.tie(room, store.addChat(carved));
        // A deleted message of no known conversation.
        TestStore::Chat lost;
        lost.obtainWay = 2;
        lost.hasPageNumber = true;
        lost.pageNumber = 7;
        lost.message = "lost, \"one\"";
        lost.createTime = k2015 + 7200;
        store.addChat(lost);
        store.finish();
        ErrorInfo error;
        data.loadFriends(store.db(), &error, 0);
        data.loadLostFriendChats(store.db(), &error, 0);
        ASSERT_TRUE(error.isSuccess());
        context.friendMap = &data.friendMap();
    }

    QString exportAll(const QString& into) {
        ChatExporter exporter(store.db(), data, context);
        exporter.setPacing(0, 0);
        EXPECT_TRUE(exporter.prepareExportDirectory(into, work.path()));
        exporter.exportConversations(ChatExporter::exportAllSet(data), nullptr);
        exported = exporter.exported();
        MachineExportContext machine;
        machine.friendMap = &data.friendMap();
        machine.pages = &exported;
        machine.ownerUsrName = "wxid_me";
        const auto outcome = talwen::app::writeMachineExport(store.db(), exporter.exportDirectory(), machine);
        EXPECT_TRUE(outcome.ok) << outcome.failedFile.toStdString();
        EXPECT_EQ(int64_t(std::size(kHostileTexts)) + 2, outcome.messages);
        return exporter.exportDirectory();
    }

    QTemporaryDir work;
    QTemporaryDir chosen;
    TestStore store;
    RecoveredData data;
    RenderContext context;
    std::vector<ExportedConversation> exported;
    int64_t pal = 0;
    int64_t room = 0;
};

TEST_F(MachineExportTest, CsvAndJsonLinesGiveBackEveryTextExactly) {
    const QString dir = exportAll(chosen.path());
    bool wellFormed = false;
    const std::vector<QStringList> rows = readCsv(readFile(dir + "/messages.csv"), &wellFormed);
    EXPECT_TRUE(wellFormed);
    ASSERT_EQ(std::size(kHostileTexts) + 3, rows.size());
    const QStringList header = talwen::app::messageColumnNames();
    EXPECT_EQ(header, rows[0]);
    const int text = header.indexOf("text");

    QList<QByteArray> lines = readFile(dir + "/messages.jsonl").split('\n');
    ASSERT_TRUE(lines.last().isEmpty());
    lines.removeLast();
    ASSERT_EQ(rows.size() - 1, size_t(lines.size()));
    for (size_t i = 0; i < std::size(kHostileTexts); ++i) {
        const QString expected = QString::fromUtf8(kHostileTexts[i]);
        EXPECT_EQ(expected, rows[i + 1][text]) << i;
        QJsonParseError error;
        const QJsonObject object = QJsonDocument::fromJson(lines[int(i)], &error).object();
        ASSERT_EQ(QJsonParseError::NoError, error.error) << lines[int(i)].toStdString();
        EXPECT_EQ(expected, object["text"].toString()) << i;
        EXPECT_EQ(header.size(), object.size());
        // Both files carry the same values, numbers as numbers and empty ones as null.
        for (int c = 0; c < header.size(); ++c) {
            const QJsonValue value = object[header[c]];
            const QString asText = value.isNull()     ? QString()
                                   : value.isDouble() ? QString::number(value.toVariant().toLongLong())
                                                      : value.toString();
            if (header[c] != "tie_ratio") {
                EXPECT_EQ(rows[i + 1][c], asText) << header[c].toStdString();
            }
        }
    }
}

TEST_F(MachineExportTest, RowsSayWhereEachMessageCameFromAndWhereItIsShown) {
    const QString dir = exportAll(chosen.path());
    bool wellFormed = false;
    const std::vector<QStringList> rows = readCsv(readFile(dir + "/messages.csv"), &wellFormed);
    const QStringList header = rows.at(0);
    auto value = [&](const QStringList& row, const char* column) { return row.at(header.indexOf(column)).toStdString(); };

    const QStringList& first = rows.at(1);  // the live text "plain"
    EXPECT_EQ("Pal, \"the\" friend", value(first, "conversation"));
    EXPECT_EQ("friend", value(first, "conversation_category"));
    EXPECT_EQ("wxid_pal", value(first, "sender"));
    EXPECT_EQ("2015-01-01T00:00:01Z", value(first, "time_utc"));
    EXPECT_EQ("2015-01-01 00:00:01", value(first, "time_page"));
    EXPECT_EQ("+00:00", value(first, "utc_offset"));
    EXPECT_EQ("live", value(first, "state"));
    EXPECT_EQ("live row", value(first, "found_by"));
    EXPECT_EQ("", value(first, "db_page"));
    EXPECT_EQ("", value(first, "offset"));
    EXPECT_EQ("", value(first, "wal_frame"));
    // The page named is the file the export wrote for the conversation.
    EXPECT_TRUE(QFile::exists(dir + "/" + QString::fromStdString(value(first, "page"))));

    const QStringList& group = rows.at(rows.size() - 2);
    EXPECT_EQ("deleted", value(group, "state"));
    EXPECT_EQ("carved from database pages", value(group, "found_by"));
    EXPECT_EQ("42", value(group, "db_page"));
    EXPECT_EQ("wxid_pal", value(group, "sender"));
    EXPECT_EQ("Pal, \"the\" friend", value(group, "sender_name"));
    EXPECT_EQ("group", value(group, "conversation_category"));

    const QStringList& lost = rows.back();
    EXPECT_EQ("lost, \"one\"", value(lost, "text"));
    EXPECT_EQ("none", value(lost, "conversation_tie"));
    EXPECT_EQ("unknown", value(lost, "conversation_category"));
    EXPECT_EQ("未知好友7.html", value(lost, "page"));

    const std::vector<QStringList> contacts = readCsv(readFile(dir + "/contacts.csv"), &wellFormed);
    EXPECT_TRUE(wellFormed);
    ASSERT_EQ(3u, contacts.size());
    EXPECT_EQ("Room\nName", contacts[2][2].toStdString());
}

TEST_F(MachineExportTest, IndexListsEveryConversationWithCountsAndSafeLinks) {
    const QString dir = exportAll(chosen.path());
    ASSERT_EQ(3u, exported.size());
    const ExportedConversation& palPage = exported[0];
    EXPECT_EQ(int(std::size(kHostileTexts)), palPage.messages);
    EXPECT_EQ(0, palPage.deleted);
    EXPECT_EQ(k2015 + 1, palPage.first);
    EXPECT_EQ(k2015 + int64_t(std::size(kHostileTexts)), palPage.last);
    EXPECT_EQ(ExportedConversation::Category::Group, exported[1].category);
    EXPECT_EQ(1, exported[1].deleted);
    EXPECT_EQ(ExportedConversation::Category::Unknown, exported[2].category);

    talwen::app::IndexHeader header;
    header.ownerUsrName = "wxid_me";
    header.ownerNickName = "Me <&>";
    header.source = "/backups/0000";
    ASSERT_TRUE(talwen::app::writeIndexPage(dir, header, exported).written);
    const QString index = QString::fromUtf8(readFile(dir + "/index.html"));
    EXPECT_TRUE(index.contains("Me &lt;&amp;&gt;（wxid_me）"));
    EXPECT_TRUE(index.contains("<h1>聊天记录</h1>"));
    EXPECT_TRUE(index.contains("没有符合条件的会话。"));
    EXPECT_TRUE(index.contains(R"(<a href="Pal%2C%20_the_%20friend.html">Pal, "the" friend</a>)")) << index.toStdString();
    EXPECT_TRUE(index.contains(R"(<tr data-category="group" data-deleted="1">)"));
    EXPECT_TRUE(index.contains(R"(<td data-sort="1420070401">2015-01-01 00:00:01</td>)"));
    EXPECT_TRUE(index.contains("%E6%9C%AA%E7%9F%A5%E5%A5%BD%E5%8F%8B7.html"));  // 未知好友7.html
    EXPECT_TRUE(index.contains(R"(<script src="js/index.js" defer></script>)"));
    EXPECT_TRUE(QFile::exists(dir + "/js/index.js"));
    EXPECT_TRUE(QFile::exists(dir + "/css/index.css"));
    EXPECT_EQ(3, index.count("<tr data-category="));
}
