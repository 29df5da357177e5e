// The result lists read from a store that the recovery pipeline filled from a
// generated messenger database, checked against the generator's ground truth.
#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cstdlib>
#include <map>
#include <set>

#include "app/export/ChatExporter.h"
#include "app/store/RecoveredData.h"
#include "app/browser/ResultBrowserModel.h"
#include "sqldb/ResultSet.h"
#include "sqldb/SqliteAssistant.h"
#include "wchat/WchatChatToDbSeeker.h"

using namespace talwen::app;
using talwen::common::ErrorInfo;
using talwen::sqldb::ResultSet;
using talwen::sqldb::SqliteAssistant;
using talwen::wchat::WchatChatToDbSeeker;

namespace {

class RecoveredLists : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new QTemporaryDir();
        const std::string command = std::string("python3 '") + WCR_TOOLS_DIR + "/gen_messenger_db.py' --out '" +
                                    dir_->path().toStdString() + "' --profile small --seed 11 > /dev/null";
        ASSERT_EQ(0, std::system(command.c_str()));
        QFile truthFile(dir_->path() + "/truth.json");
        ASSERT_TRUE(truthFile.open(QIODevice::ReadOnly));
        truth_ = new QJsonObject(QJsonDocument::fromJson(truthFile.readAll()).object());
        seeker_ = new WchatChatToDbSeeker((dir_->path() + "/MM.sqlite").toStdString(), "", nullptr);
        ErrorInfo error;
        seeker_->run(2, 3, &error);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
        data_ = new RecoveredData();
        data_->loadFriends(seeker_->getTargetDb(), &error);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
        data_->loadLostFriendChats(seeker_->getTargetDb(), &error);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
        data_->countRecoveredChats(seeker_->getTargetDb(), &error);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    }
    static void TearDownTestSuite() {
        delete data_;
        delete seeker_;
        delete truth_;
        delete dir_;
    }

    static int64_t count(const std::string& sql) {
        ResultSet result;
        ErrorInfo error;
        SqliteAssistant::query(seeker_->getTargetDb(), 0, sql, result, &error);
        EXPECT_TRUE(error.isSuccess()) << sql;
        return result.getRowCount() == 0 ? -1 : result.getValue(0, 0)->getIntegerValue();
    }

    static std::map<QString, FriendEntry> shownByUsrName() {
        std::map<QString, FriendEntry> shown;
        for (const FriendEntry& entry : data_->displayList()) shown.emplace(entry.usrName, entry);
        return shown;
    }

    static QTemporaryDir* dir_;
    static QJsonObject* truth_;
    static WchatChatToDbSeeker* seeker_;
    static RecoveredData* data_;
};

QTemporaryDir* RecoveredLists::dir_ = nullptr;
QJsonObject* RecoveredLists::truth_ = nullptr;
WchatChatToDbSeeker* RecoveredLists::seeker_ = nullptr;
RecoveredData* RecoveredLists::data_ = nullptr;

}  // namespace

TEST_F(RecoveredLists, EveryLiveConversationIsListedInItsCategory) {
    // Owners of surviving conversations that kept their contact row and hold live messages.
    std::set<QString> withLiveMessages;
    for (const auto value : (*truth_)["messages"].toArray()) {
        const QJsonObject message = value.toObject();
        if (!message["deleted"].toBool()) withLiveMessages.insert(message["usrName"].toString());
    }
    std::map<QString, QString> liveFriendKinds;
    for (const auto value : (*truth_)["friends"].toArray()) {
        const QJsonObject contact = value.toObject();
        if (!contact["deleted"].toBool()) liveFriendKinds[contact["usrName"].toString()] = contact["kind"].toString();
    }
    const auto shown = shownByUsrName();
    size_t checked = 0;
    for (const QString& usrName : withLiveMessages) {
        const auto kind = liveFriendKinds.find(usrName);
        if (kind == liveFriendKinds.end()) continue;
        SCOPED_TRACE(usrName.toStdString());
        const auto entry = shown.find(usrName);
        ASSERT_NE(shown.end(), entry);
        EXPECT_EQ(1, entry->second.obtainWay);
        EXPECT_GT(entry->second.lastChatText.left(4).toInt(), 2009);
        const FriendCategory expected = kind->second == "official"   ? FriendCategory::OfficialAccount
                                        : kind->second == "chatroom" ? FriendCategory::Group
                                                                     : FriendCategory::Friend;
        EXPECT_EQ(expected, friendCategory(usrName));
        ++checked;
    }
    EXPECT_GT(checked, 10u);
}

TEST_F(RecoveredLists, MadeUpContactsOfDroppedConversationsAreListed) {
    // A conversation whose contact row is gone belongs to the carved row, or to a
    // contact made up for the owner's name or for the table.
    ResultSet madeUp;
    ErrorInfo error;
    SqliteAssistant::query(seeker_->getTargetDb(), 0,
                           "SELECT F.rcFriendId, F.nickName FROM WC_Friend F WHERE F.obtainWay IN (2, 101) AND EXISTS "
                           "(SELECT 1 FROM WC_Chatroom R WHERE R.rcFriendId = F.rcFriendId);",
                           madeUp, &error);
    ASSERT_TRUE(error.isSuccess());
    ASSERT_GT(madeUp.getRowCount(), 0u) << "the generated file has a dropped conversation";
    std::set<int32_t> shownIds;
    for (const FriendEntry& entry : data_->displayList()) shownIds.insert(entry.rcFriendId);
    std::set<int32_t> exported;
    for (const ExportItem& item : ChatExporter::exportAllSet(*data_)) {
        if (item.kind == ExportItem::Kind::Contact) exported.insert(item.id);
    }
    for (size_t row = 0; row < madeUp.getRowCount(); ++row) {
        const int32_t id = static_cast<int32_t>(madeUp.getValue(row, "rcFriendId")->getIntegerValue());
        EXPECT_EQ(1u, shownIds.count(id)) << madeUp.getValue(row, "nickName")->getTextValue();
        EXPECT_EQ(1u, exported.count(id));
        EXPECT_FALSE(RecoveredData::queryConversation(seeker_->getTargetDb(), id, 0, &error).empty());
    }
}

TEST_F(RecoveredLists, CountsAndLostGroupsMatchTheStore) {
    EXPECT_EQ(count("SELECT count(*) FROM WC_Chat WHERE obtainWay = 2;"), data_->recoveredCount());
    EXPECT_GT(data_->recoveredCount(), 0);
    // Rows without a page (live messages) or dated before 2010 are not listed.
    const std::string listed = " FROM WC_LostFriendChat WHERE pageNumber IS NOT NULL AND (created IS NULL OR substr(created, 1, 4) >= '2010');";
    EXPECT_EQ(count("SELECT count(DISTINCT pageNumber)" + listed),
              static_cast<int64_t>(data_->unknownFriendGroups().size()));
    size_t lostMessages = 0;
    for (const auto& group : data_->unknownFriendGroups()) lostMessages += group.second.size();
    EXPECT_EQ(count("SELECT count(*)" + listed), static_cast<int64_t>(lostMessages));
}

TEST_F(RecoveredLists, AConversationHoldsAllItsLiveMessagesInTimeOrder) {
    // The surviving friend conversation with the most live messages.
    std::map<QString, std::vector<QString>> liveTexts;
    for (const auto value : (*truth_)["messages"].toArray()) {
        const QJsonObject message = value.toObject();
        if (!message["deleted"].toBool()) liveTexts[message["usrName"].toString()].push_back(message["message"].toString());
    }
    const auto shown = shownByUsrName();
    QString busiest;
    for (const auto& [usrName, texts] : liveTexts) {
        if (shown.count(usrName) && friendCategory(usrName) == FriendCategory::Friend &&
            (busiest.isEmpty() || texts.size() > liveTexts[busiest].size())) {
            busiest = usrName;
        }
    }
    ASSERT_FALSE(busiest.isEmpty());
    ErrorInfo error;
    const std::vector<ChatEntry> conversation =
        RecoveredData::queryConversation(seeker_->getTargetDb(), shown.at(busiest).rcFriendId, 0, &error);
    ASSERT_TRUE(error.isSuccess());
    std::multiset<QString> live;
    for (size_t i = 0; i < conversation.size(); ++i) {
        if (i > 0) {
            EXPECT_LE(conversation[i - 1].createTime, conversation[i].createTime);
        }
        if (conversation[i].obtainWay == 1) live.insert(conversation[i].message);
    }
    const std::multiset<QString> expected(liveTexts[busiest].begin(), liveTexts[busiest].end());
    EXPECT_EQ(expected, live);
}
