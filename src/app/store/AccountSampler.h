#pragma once

#include <map>
#include <vector>

#include <QString>

#include "app/store/AccountSample.h"

namespace talwen {
namespace app {

// Outcome of sampling the accounts of a backup.
struct AccountSampling {
    // False when the backup holds no messenger database (the "no data" tip).
    bool hasMessengerData = false;
    // Per account, keyed by the database path inside the backup.
    std::map<QString, std::vector<AccountSample>> samples;
};

// Reads contacts of each messenger account of a backup so that the user can
// recognise the accounts. `databaseFiles` maps an account's database path inside
// the backup to the name of the file holding it in `backupDir`. The databases are
// opened read-only and immutable: nothing is ever written beside them.
AccountSampling sampleAccountFriends(const QString& backupDir, const std::map<QString, QString>& databaseFiles);

// The batches of four samples shown per account in the account choice.
class AccountSampler {
public:
    static constexpr int kBatchSize = 4;

    // Keeps the samples and shows the first batch of every account.
    void setSamples(const std::map<QString, std::vector<AccountSample>>& samples);
    // Moves every account to its next batch of four, wrapping around at the end.
    void changeFriends();
    // The batch currently shown for an account (empty for an unknown key).
    std::vector<AccountSample> batch(const QString& account) const;

private:
    struct Account {
        std::vector<AccountSample> samples;
        size_t first = 0;  // index of the batch's first sample
    };
    std::map<QString, Account> accounts_;
};

}  // namespace app
}  // namespace talwen
