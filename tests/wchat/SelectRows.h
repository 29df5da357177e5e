#pragma once

#include <sqlite3.h>

#include <string>

#include <gtest/gtest.h>

#include "common/ErrorInfo.h"
#include "sqldb/ResultSet.h"
#include "sqldb/SqliteAssistant.h"

namespace wcrtest {

// Every row of sql on db; a failing query fails the test and gives an empty result.
inline talwen::sqldb::ResultSet selectRows(sqlite3* db, const std::string& sql) {
    talwen::sqldb::ResultSet rs;
    talwen::common::ErrorInfo error;
    talwen::sqldb::SqliteAssistant::query(db, 0, sql, rs, &error);
    EXPECT_TRUE(error.isSuccess()) << sql << ": " << error.getMessage();
    return rs;
}

}  // namespace wcrtest
