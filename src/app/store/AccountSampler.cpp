#include "app/store/AccountSampler.h"

#include "app/store/ResultValues.h"
#include "backup/ReadOnlyFile.h"
#include "sqldb/ResultSet.h"
#include "sqldb/SqliteAssistant.h"

namespace talwen {
namespace app {

namespace {

using sqldb::ResultSet;
using sqldb::SqliteAssistant;

const char* const kSampleSql =
    "SELECT Friend.UsrName, Friend.NickName, Friend.Img, Friend.Type, Friend_Ext.ConStrRes2,                                Friend_Ext.ConRemark FROM Friend, Friend_Ext                                WHERE Friend.UsrName = Friend_Ext.UsrName AND                                Friend.Type = 3";

constexpr uint32_t kSampleRowCap = 1000;

}  // namespace

AccountSampling sampleAccountFriends(const QString& backupDir, const std::map<QString, QString>& databaseFiles) {
    AccountSampling result;
    result.hasMessengerData = !databaseFiles.empty();
    for (const auto& account : databaseFiles) {
        std::vector<AccountSample> samples;
        // A database inside the backup must stay untouched: opened immutable, so that
        // SQLite neither locks it nor creates journal, WAL or shared-memory files.
        // A pipe would block the open forever, a link could lead out of the backup.
        common::ErrorInfo error;
        const QString path = backupDir + QStringLiteral("/") + account.second;
        sqlite3* db = backup::ReadOnlyFile::isRegularFileInside(backupDir, account.second)
                          ? SqliteAssistant::openDatabaseImmutable(path.toUtf8().toStdString(), &error)
                          : nullptr;
        if (db) {
            ResultSet rows;
            SqliteAssistant::query(db, kSampleRowCap, kSampleSql, rows, &error);
            const ResultValues query(rows);
            for (size_t row = 0; row < query.rowCount(); ++row) {
                AccountSample sample;
                QString extra;
                if (!query.textValue(row, "UsrName", &sample.usrName) ||
                    !query.textValue(row, "NickName", &sample.nickName) ||
                    !query.textValue(row, "ConStrRes2", &extra)) {
                    continue;
                }
                if (sample.usrName.contains(QLatin1String("gh_"), Qt::CaseInsensitive) ||
                    sample.usrName.contains(QLatin1String("@chatroom"), Qt::CaseInsensitive) ||
                    sample.usrName.contains(QLatin1String("weixin"), Qt::CaseInsensitive)) {
                    continue;
                }
                const QString open = QStringLiteral("<HeadImgUrl>");
                const int start = extra.indexOf(open);
                if (start < 0) {
                    continue;
                }
                const int end = extra.indexOf(QStringLiteral("</HeadImgUrl>"), start + open.size());
                if (end < 0) {
                    continue;
                }
                sample.headImgUrl = extra.mid(start + open.size(), end - start - open.size());
                samples.push_back(sample);
            }
            SqliteAssistant::closeDatabase(db);
        }
        result.samples[account.first] = samples;
    }
    return result;
}

void AccountSampler::setSamples(const std::map<QString, std::vector<AccountSample>>& samples) {
    accounts_.clear();
    for (const auto& account : samples) {
        accounts_[account.first].samples = account.second;
    }
}

void AccountSampler::changeFriends() {
    for (auto& entry : accounts_) {
        Account& account = entry.second;
        const size_t count = account.samples.size();
        if (count <= static_cast<size_t>(kBatchSize)) {
            continue;
        }
        // The batch after the last sample shown.
        account.first = (account.first + kBatchSize) % count;
    }
}

std::vector<AccountSample> AccountSampler::batch(const QString& key) const {
    auto it = accounts_.find(key);
    if (it == accounts_.end()) {
        return {};
    }
    const Account& account = it->second;
    const size_t count = account.samples.size();
    if (count <= static_cast<size_t>(kBatchSize)) {
        return account.samples;
    }
    std::vector<AccountSample> shown;
    for (size_t i = 0; i < static_cast<size_t>(kBatchSize); ++i) {
        shown.push_back(account.samples[(account.first + i) % count]);
    }
    return shown;
}

}  // namespace app
}  // namespace talwen
