#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include <QString>

#include "app/export/ExportedConversation.h"
#include "app/store/FriendEntry.h"

struct sqlite3;

namespace talwen {
namespace app {

// What the machine-readable files need besides the store.
struct MachineExportContext {
    const std::map<int32_t, FriendEntry>* friendMap = nullptr;  // every contact of the store
    const std::vector<ExportedConversation>* pages = nullptr;   // the pages the export wrote
    QString ownerUsrName;  // the sender of sent messages
    bool utc = false;      // how the pages write times
};

// The files' names in the export directory.
extern const char* const kMessagesCsvName;    // "messages.csv"
extern const char* const kMessagesJsonlName;  // "messages.jsonl"
extern const char* const kContactsCsvName;    // "contacts.csv"

struct MachineExportOutcome {
    bool ok = false;
    int64_t messages = 0;
    int64_t contacts = 0;
    QString failedFile;  // the first file that could not be written
};

// Writes messages.csv and messages.jsonl (one record per message of the store, in
// time order, read from the store row by row so that a store of any size fits) and
// contacts.csv into exportDir. The message columns and their meaning are listed in
// one table (MachineExport.cpp); both message files carry the same columns, the
// JSON lines with numbers as numbers and absent values as null.
MachineExportOutcome writeMachineExport(sqlite3* store, const QString& exportDir, const MachineExportContext& context);

// The names of the message columns, in file order.
QStringList messageColumnNames();

}  // namespace app
}  // namespace talwen
