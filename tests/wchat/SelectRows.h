#pragma once

#include <sqlite3.h>

#include <string>

#include <gtest/gtest.h>

#include "sqlite_recovery/ErrorInfo.h"
#include "wchat/ResultSet.h"
#include "wchat/SqliteAssistant.h"

namespace wcrtest {

// Every row of sql on db; a failing query fails the test and gives an empty result.
inline talwen::sqlite::wchat::ResultSet selectRows(sqlite3* db, const std::string& sql) {
    talwen::sqlite::wchat::ResultSet rs;
    talwen::common::ErrorInfo error;
    talwen::sqlite::wchat::SqliteAssistant::query(db, 0, sql, rs, &error);
    EXPECT_TRUE(error.isSuccess()) << sql << ": " << error.getMessage();
    return rs;
}

}  // namespace wcrtest
