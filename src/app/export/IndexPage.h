#pragma once

#include <vector>

#include <QDateTime>
#include <QString>

#include "app/export/ExportedConversation.h"
#include "app/pages/PageFile.h"

namespace talwen {
namespace app {

// What the head of the index says about the scan.
struct IndexHeader {
    QString ownerUsrName;
    QString ownerNickName;
    QString source;       // the scanned backup or database file
    QDateTime scanTime;   // empty when the export was made from a kept store
    bool utc = false;     // dates in UTC instead of local time
    bool hasReport = false;  // report.html lies beside the index
};

extern const char* const kIndexFileName;  // "index.html"

// Writes exportDir + "/index.html": the owner, the scan's date and source, then one
// row per exported conversation with its name, category, message and deleted-message
// counts and first and last date, linking to its page. The page's own script
// (js/index.js) sorts the table by any column and filters it by text, category and
// deleted messages; without scripts the table is still complete.
PageFile writeIndexPage(const QString& exportDir, const IndexHeader& header,
                        const std::vector<ExportedConversation>& conversations);

}  // namespace app
}  // namespace talwen
