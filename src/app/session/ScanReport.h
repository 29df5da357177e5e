#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include "app/session/FileDigest.h"
#include "wchat/RecoveryStore.h"

struct sqlite3;

namespace talwen {
namespace app {

class RecoveredData;

// What an examiner cites about one scan: the tool, when it ran, which file it read
// and that the file was not altered (its SHA-256 before and after the scan), the
// copy it worked on, what it found by category and by way of recovery, what it
// rejected, and the settings it ran with.
struct ScanReport {
    QString toolVersion;
    QDateTime started;   // invalid for an export of a kept store
    QDateTime finished;
    QString source;      // the backup directory or database file chosen
    QString sourceFile;  // the database file that was copied and hashed
    FileDigest before;   // of sourceFile, taken while it is copied
    FileDigest after;    // of sourceFile after the scan
    QString workingCopy;
    FileDigest workingCopyDigest;
    QString keptStore;   // the store an export was made from

    bool hasCounts = false;
    wchat::StoreSummary counts;
    int64_t friendConversations = 0;
    int64_t groupConversations = 0;
    int64_t officialConversations = 0;
    int64_t unknownConversations = 0;
    int64_t recoveredDeletedMessages = 0;
    std::map<int, int64_t> tiesByDeduceType;  // WC_Chatroom deduceType -> messages
    // Carved rows the plausibility checks turned away; 0 until the recovery counts them.
    int64_t plausibilityRejections = 0;
    std::vector<std::pair<QString, QString>> settings;  // in the order shown

    // Counts per category and per way of recovery from the store and the loaded lists.
    void countFrom(sqlite3* store, const wchat::StoreSummary& summary, const RecoveredData& data);
    // True when both digests were taken and are equal.
    bool sourceUnchanged() const;

    QJsonObject toJson() const;
    QString toHtml(bool utc) const;
};

extern const char* const kReportJsonName;  // "report.json"
extern const char* const kReportHtmlName;  // "report.html"

// Writes report.json and report.html into exportDir; false when either fails.
bool writeScanReport(const QString& exportDir, const ScanReport& report, bool utc);

}  // namespace app
}  // namespace talwen
