#include <gtest/gtest.h>

#include <sqlite3.h>

#include <sstream>
#include <string>

#include "common/CommonException.h"
#include "sqldb/ResultSet.h"
#include "sqldb/SqliteAssistant.h"
#include "sqldb/SqliteDao.h"

using talwen::common::CommonException;
using talwen::common::ErrorInfo;
using talwen::sqldb::ColValue;
using talwen::common::EntityBase;
using namespace talwen::sqldb;

namespace {

// A small contact database shaped like the messenger's Friend / Friend_Ext pair.
class SqlAccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        db = SqliteAssistant::openDatabase("", &error);
        ASSERT_NE(nullptr, db) << error.getMessage();
        SqliteAssistant::executeSql(
            db,
            "CREATE TABLE Friend (UsrName TEXT, NickName TEXT, Uin INTEGER);"
            "CREATE TABLE Friend_Ext (UsrName TEXT, ConRemark TEXT);"
            "CREATE TABLE Mixed (i INTEGER, r REAL, t TEXT, b BLOB, n);"
            "INSERT INTO Friend VALUES ('alice', 'Alice', 1099511627776);"
            "INSERT INTO Friend VALUES ('bob', NULL, 2);"
            "INSERT INTO Friend VALUES ('carol', 'Carol', 3);"
            "INSERT INTO Friend_Ext VALUES ('alice', 'colleague');"
            "INSERT INTO Mixed VALUES (7, 2.5, 'text', x'01fe', NULL);",
            &error);
        ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    }
    void TearDown() override { EXPECT_EQ(SQLITE_OK, SqliteAssistant::closeDatabase(db)); }

    sqlite3* db = nullptr;
    ErrorInfo error;
};

template <typename F>
std::string thrownText(F&& call) {
    try {
        call();
    } catch (const CommonException& e) {
        return e.what();
    }
    return "<nothing thrown>";
}

}  // namespace

TEST_F(SqlAccessTest, QueryMapsEveryStorageClass) {
    ResultSet rs;
    SqliteAssistant::query(db, 0, "SELECT * FROM Mixed", rs, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    ASSERT_EQ(1u, rs.getRowCount());
    ASSERT_EQ(5u, rs.getColCount());
    EXPECT_EQ(7, rs.getValue(0, "I")->getIntegerValue());
    EXPECT_DOUBLE_EQ(2.5, rs.getValue(0, "r")->getRealValue());
    EXPECT_EQ("text", rs.getValue(0, "t")->getTextValue());
    EXPECT_EQ("01fe", rs.getValue(0, "b")->getBlobHexValue());
    EXPECT_EQ(2u, rs.getValue(0, "b")->getBlobLength());
    EXPECT_TRUE(rs.getValue(0, "n")->isNull());
}

TEST_F(SqlAccessTest, JoinWithDuplicateColumnNamesFindsTheFirst) {
    ResultSet rs;
    SqliteAssistant::query(
        db, 0, "SELECT * FROM Friend LEFT JOIN Friend_Ext ON Friend.UsrName = Friend_Ext.UsrName;",
        rs, &error);
    ASSERT_TRUE(error.isSuccess()) << error.getMessage();
    ASSERT_EQ(5u, rs.getColCount());
    EXPECT_EQ("UsrName", rs.getColName(0));
    EXPECT_EQ("UsrName", rs.getColName(3));
    // Row of bob: Friend.UsrName is 'bob', Friend_Ext.UsrName is NULL.
    EXPECT_EQ("bob", rs.getValue(1, "usrname")->getTextValue());
    EXPECT_TRUE(rs.getValue(1, 3)->isNull());
    // 2^40 keeps all 64 bits.
    EXPECT_EQ(int64_t(1) << 40, rs.getValue(0, "UIN")->getIntegerValue());
    const auto names = rs.listColValues("usrName");
    ASSERT_EQ(3u, names.size());
    EXPECT_EQ("carol", names[2]->getTextValue());
}

TEST_F(SqlAccessTest, RowLimitAndEmptyResult) {
    ResultSet rs;
    SqliteAssistant::query(db, 1, "SELECT UsrName FROM Friend", rs, &error);
    EXPECT_TRUE(error.isSuccess());
    EXPECT_EQ(1u, rs.getRowCount());

    SqliteAssistant::query(db, 0, "SELECT UsrName, Uin FROM Friend WHERE Uin > 100000000000000", rs,
                           &error);
    EXPECT_TRUE(error.isSuccess());
    EXPECT_EQ(2u, rs.getColCount());
    EXPECT_EQ(0u, rs.getRowCount());
}

TEST_F(SqlAccessTest, FailingPrepareLeavesResultSetAsItWas) {
    ResultSet rs;
    SqliteAssistant::query(db, 0, "SELECT UsrName FROM Friend", rs, &error);
    ASSERT_EQ(3u, rs.getRowCount());
    const std::string sql = "SELECT x FROM Nowhere";
    SqliteAssistant::query(db, 0, sql, rs, &error);
    EXPECT_EQ(-1, error.getCode());
    EXPECT_EQ("sqldb/SqliteAssistant", error.getFileName());
    EXPECT_EQ("query", error.getFunctionName());
    EXPECT_EQ("Prepare statement[" + sql + "]: no such table: Nowhere", error.getMessage());
    EXPECT_EQ(3u, rs.getRowCount());
}

TEST_F(SqlAccessTest, LookupsThrowWithTheirMessages) {
    ResultSet rs;
    SqliteAssistant::query(db, 0, "SELECT UsrName, NickName FROM Friend", rs, &error);
    ASSERT_EQ(3u, rs.getRowCount());
    // The row is checked before the name.
    EXPECT_EQ("rowIndex[5] overflow[3]!", thrownText([&] { rs.getValue(5, "Unknown"); }));
    EXPECT_EQ("colName[Unknown] not exist!", thrownText([&] { rs.getValue(0, "Unknown"); }));
    EXPECT_EQ("colIndex[2] overflow[2]!", thrownText([&] { rs.getValue(0, 2); }));
    EXPECT_EQ("colIndex[9] overflow[2]!", thrownText([&] { rs.getColName(9); }));
    EXPECT_EQ("colIndex[2] overflow[2]!", thrownText([&] { rs.listColValues(2); }));
    EXPECT_EQ("colName[x] not exist!", thrownText([&] { rs.listColValues("x"); }));
    try {
        rs.getRow(3);
        FAIL();
    } catch (const CommonException& e) {
        EXPECT_EQ(-1, e.getCode());
        EXPECT_EQ("sqldb/ResultSet", e.getFileName());
        EXPECT_EQ("getRow", e.getFunctionName());
    }
}

TEST_F(SqlAccessTest, PrintTabularAndByColumn) {
    ResultSet rs;
    SqliteAssistant::query(db, 0, "SELECT UsrName, NickName FROM Friend WHERE Uin <> 3", rs,
                           &error);
    std::ostringstream tabular;
    EXPECT_EQ(2u, rs.print(tabular, ResultSet::kPrintTabular));
    EXPECT_EQ("UsrName\tNickName\nalice\tAlice\nbob\t<NULL>\n", tabular.str());
    std::ostringstream byColumn;
    EXPECT_EQ(2u, rs.print(byColumn, 0));
    EXPECT_EQ("UsrName: alice\nNickName: Alice\n\nUsrName: bob\nNickName: <NULL>\n\n",
              byColumn.str());
}

TEST_F(SqlAccessTest, SingleFieldQuery) {
    auto names = SqliteAssistant::queryTextValuesFromSingleField(
        db, 0, "SELECT NickName FROM Friend ORDER BY UsrName", &error);
    EXPECT_TRUE(error.isSuccess());
    // A NULL value reads as the empty text, so values stay aligned with rows.
    EXPECT_EQ((std::vector<std::string>{"Alice", "", "Carol"}), names);

    names =
        SqliteAssistant::queryTextValuesFromSingleField(db, 2, "SELECT Uin FROM Friend", &error);
    EXPECT_EQ((std::vector<std::string>{"1099511627776", "2"}), names);

    names = SqliteAssistant::queryTextValuesFromSingleField(
        db, 0, "SELECT UsrName, Uin FROM Friend", &error);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ("Query columns[2] more than 1!", error.getMessage());
    EXPECT_EQ("queryTextValuesFromSingleField", error.getFunctionName());
}

TEST_F(SqlAccessTest, ExecuteSqlReportsLibraryMessageAndClearsOnSuccess) {
    SqliteAssistant::executeSql(db, "INSERT INTO Nowhere VALUES (1);", &error);
    EXPECT_EQ(-1, error.getCode());
    EXPECT_EQ("no such table: Nowhere", error.getMessage());
    EXPECT_EQ("executeSql", error.getFunctionName());
    SqliteAssistant::executeSql(db, "SELECT 1;", &error);
    EXPECT_TRUE(error.isSuccess());
    EXPECT_EQ("", error.getMessage());
}

TEST(SqliteAssistant, OpenReadOnlyOfMissingFileFails) {
    ErrorInfo error;
    const std::string path = std::string(WCR_BINARY_DIR) + "/no/such/dir/missing.sqlite";
    EXPECT_EQ(nullptr, SqliteAssistant::openDatabaseReadOnly(path, &error));
    EXPECT_EQ(-1, error.getCode());
    EXPECT_EQ("openDatabaseReadOnly", error.getFunctionName());
    EXPECT_EQ(0u, error.getMessage().find("Open database[" + path + "]: "));
    EXPECT_GT(error.getMessage().size(), ("Open database[" + path + "]: ").size());
}

TEST(SqliteAssistant, ReadOnlyConnectionRefusesWrites) {
    ErrorInfo error;
    const std::string path = std::string(WCR_BINARY_DIR) + "/wchat_readonly_test.sqlite";
    std::remove(path.c_str());
    sqlite3* rw = SqliteAssistant::openDatabase(path, &error);
    ASSERT_NE(nullptr, rw);
    SqliteAssistant::executeSql(rw, "CREATE TABLE t (a);", &error);
    ASSERT_EQ(SQLITE_OK, SqliteAssistant::closeDatabase(rw));

    sqlite3* ro = SqliteAssistant::openDatabaseReadOnly(path, &error);
    ASSERT_NE(nullptr, ro) << error.getMessage();
    SqliteAssistant::executeSql(ro, "INSERT INTO t VALUES (1);", &error);
    EXPECT_EQ(-1, error.getCode());
    EXPECT_EQ(SQLITE_OK, SqliteAssistant::closeDatabase(ro));
    std::remove(path.c_str());
}

namespace {

struct Entity : EntityBase {
    Entity() : EntityBase(1) {}
    using EntityBase::markSet;
};

}  // namespace

// Honoured flags: a field never given or marked NULL binds NULL, a given field its
// value; without the switch the value is always bound.
TEST_F(SqlAccessTest, BindHonoursSetAndNullFlags) {
    Entity entity;
    entity.markSet(0x1);  // given
    entity.setNull(0x2);  // given as NULL
                          // 0x4 never given
    struct Case {
        uint64_t mask;
        bool honour;
        bool expectNull;
    } cases[] = {{0x1, true, false},
                 {0x2, true, true},
                 {0x4, true, true},
                 {0x2, false, false},
                 {0x4, false, false}};
    for (const Case& c : cases) {
        for (int kind = 0; kind < 3; ++kind) {
            sqlite3_stmt* stmt = nullptr;
            ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "SELECT @v", -1, &stmt, nullptr));
            bool ok = false;
            if (kind == 0)
                ok = SqliteDao::bindIntValue("v", entity, stmt, c.mask, 1, 42, c.honour, &error);
            if (kind == 1)
                ok = SqliteDao::bindInt64Value("v", entity, stmt, c.mask, 1, int64_t(1) << 40,
                                               c.honour, &error);
            if (kind == 2)
                ok =
                    SqliteDao::bindTextValue("v", entity, stmt, c.mask, 1, "txt", c.honour, &error);
            EXPECT_TRUE(ok);
            ASSERT_EQ(SQLITE_ROW, sqlite3_step(stmt));
            EXPECT_EQ(c.expectNull, sqlite3_column_type(stmt, 0) == SQLITE_NULL)
                << "mask " << c.mask << " honour " << c.honour << " kind " << kind;
            if (!c.expectNull && kind == 1) {
                EXPECT_EQ(int64_t(1) << 40, sqlite3_column_int64(stmt, 0));
            }
            sqlite3_finalize(stmt);
        }
    }
    EXPECT_TRUE(error.isSuccess());
}

TEST_F(SqlAccessTest, BindFailureNamesTheParameter) {
    Entity entity;
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "SELECT @v", -1, &stmt, nullptr));
    EXPECT_FALSE(SqliteDao::bindTextValue("nickName", entity, stmt, 0, 5, "x", false, &error));
    EXPECT_EQ(-1, error.getCode());
    EXPECT_EQ("sqldb/SqliteDao", error.getFileName());
    EXPECT_EQ("bindTextValue", error.getFunctionName());
    EXPECT_EQ(std::string("Bind[nickName]: ") + sqlite3_errstr(SQLITE_RANGE), error.getMessage());
    sqlite3_finalize(stmt);
}
