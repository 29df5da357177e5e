#include "app/model/AccountSampler.h"

#include <sqlite3.h>

#include <QUrl>

#include "app/model/StoreQuery.h"

namespace talwen {
namespace app {

namespace {

const char* const kSampleSql =
    "SELECT Friend.UsrName, Friend.NickName, Friend.Img, Friend.Type, Friend_Ext.ConStrRes2,                                Friend_Ext.ConRemark FROM Friend, Friend_Ext                                WHERE Friend.UsrName = Friend_Ext.UsrName AND                                Friend.Type = 3";

constexpr int kSampleRowCap = 1000;

// A database inside a backup must stay untouched: read-only plus immutable, so
// that SQLite neither locks nor creates journal, WAL or shared-memory files.
sqlite3* openBackupDatabase(const QString& path) {
    const QString uri = QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded) + QStringLiteral("?immutable=1");
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(uri.toUtf8().constData(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    return db;
}

}  // namespace

AccountSampling sampleAccountFriends(const QString& backupDir, const std::map<QString, QString>& databaseFiles) {
    AccountSampling result;
    result.hasMessengerData = !databaseFiles.empty();
    for (const auto& account : databaseFiles) {
        std::vector<AccountSample> samples;
        sqlite3* db = openBackupDatabase(backupDir + QStringLiteral("/") + account.second);
        if (db) {
            StoreQuery query;
            common::ErrorInfo error;
            query.run(db, kSampleRowCap, kSampleSql, &error);
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
            sqlite3_close(db);
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
