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

// Every row of sql on db as text, a line a row: two stores compared row for row.
inline std::string rowsAsText(sqlite3* db, const std::string& sql) {
    const talwen::sqldb::ResultSet rows = selectRows(db, sql);
    std::string text;
    for (uint32_t row = 0; row < rows.getRowCount(); ++row) {
        for (uint32_t col = 0; col < rows.getColCount(); ++col) {
            const auto value = rows.getValue(row, col);
            text += value->isNull() ? "NULL" : value->isInteger() ? std::to_string(value->getIntegerValue())
                                             : value->isReal()    ? std::to_string(value->getRealValue())
                                                                  : value->getTextValue();
            text += '|';
        }
        text += '\n';
    }
    return text;
}

}  // namespace wcrtest
