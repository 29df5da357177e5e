#include <gtest/gtest.h>

#include "common/CommonException.h"
#include "common/CommonFacility.h"
#include "sqlite_recovery/Field.h"
#include "sqlite_recovery/Table.h"

#include <string>
#include <vector>

using talwen::common::CommonException;
using talwen::sqlite::schema::Field;
using talwen::sqlite::schema::Table;

namespace {

const char* const kSqliteMaster =
    "CREATE TABLE sqlite_master(type text not null, name text not null primary key, tbl_name text, "
    "rootpage integer not null, sql text);";

const char* const kChatTable =
    "CREATE TABLE Chat_0123456789abcdef0123456789abcdef(TableVer integer default 1, MesLocalID integer "
    "primary key autoincrement, MesSvrID integer default 0, CreateTime integer default 0, Message text, "
    "Status integer default 0, ImgStatus integer default 2, Type integer, Des integer)";

const char* const kFriendTable =
    "CREATE TABLE Friend ( UsrName TEXT , NickName TEXT , Uin INTEGER DEFAULT 0 , Email TEXT , "
    "Mobile TEXT , Sex INTEGER DEFAULT 0 , FullPY TEXT , ShortPY TEXT , Img TEXT , Type INTEGER DEFAULT "
    "0 , LastChatTime INTEGER DEFAULT 0 , Draft TEXT DEFAULT '' )";

struct ExpectedField {
    const char* name;
    const char* declaredType;
    uint8_t affinity;
    int32_t flags;
};

void expectColumns(const Table& table, const std::vector<ExpectedField>& expected) {
    ASSERT_EQ(expected.size(), table.getFieldCount());
    for (uint32_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        const Field& field = table.getFieldByFieldIndex(i);
        EXPECT_EQ(static_cast<int32_t>(i), field.getFieldIndex());
        EXPECT_EQ(expected[i].name, field.getFieldName());
        EXPECT_EQ(expected[i].declaredType, field.getDeclaredType());
        EXPECT_EQ(expected[i].affinity, field.getTypeAffinity());
        EXPECT_EQ(expected[i].flags, field.getFlags());
        EXPECT_EQ(i, static_cast<uint32_t>(table.getFieldByFieldName(expected[i].name).getFieldIndex()));
    }
}

// Runs `action`, expecting a CommonException with code -1 and the given texts.
template <typename Action>
void expectThrow(Action action, const std::string& debugInfo, const std::string& fileName,
                 const std::string& functionName) {
    try {
        action();
        ADD_FAILURE() << "no exception, expected: " << debugInfo;
    } catch (const CommonException& e) {
        EXPECT_EQ(-1, e.getCode());
        EXPECT_EQ(debugInfo, e.getDebugInfo());
        EXPECT_EQ(debugInfo, e.what());
        EXPECT_EQ(fileName, e.getFileName());
        EXPECT_EQ(functionName, e.getFunctionName());
    }
}

}  // namespace

// ---- Field::parse -------------------------------------------------------------

TEST(FieldParse, ConsumesOneColumnAtATimeAndLeavesTheRest) {
    std::string text =
        "type text not null, name text not null primary key, tbl_name text, rootpage integer not null, "
        "sql text";
    const struct {
        const char* name;
        uint8_t affinity;
        int32_t flags;
        const char* rest;
    } steps[] = {
        {"type", Field::kText, 0x004, "name text not null primary key, tbl_name text, rootpage integer not null, sql text"},
        {"name", Field::kText, 0x005, "tbl_name text, rootpage integer not null, sql text"},
        {"tbl_name", Field::kText, 0x000, "rootpage integer not null, sql text"},
        {"rootpage", Field::kInteger, 0x004, "sql text"},
        {"sql", Field::kText, 0x000, ""},
    };
    int32_t index = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        const std::shared_ptr<Field> field = Field::parse(text, index);
        ASSERT_NE(nullptr, field);
        EXPECT_EQ(index, field->getFieldIndex());
        EXPECT_EQ(step.name, field->getFieldName());
        EXPECT_EQ(step.affinity, field->getTypeAffinity());
        EXPECT_EQ(step.flags, field->getFlags());
        EXPECT_EQ(step.rest, text);
        ++index;
    }
}

TEST(FieldParse, ConstraintsTypeLengthsAndDefaults) {
    const struct {
        const char* definition;
        const char* name;
        const char* declaredType;
        uint8_t affinity;
        int32_t flags;
        const char* defaultValue;  // nullptr: no DEFAULT
    } cases[] = {
        {"MesLocalID INTEGER PRIMARY KEY AUTOINCREMENT", "MesLocalID", "INTEGER", Field::kInteger, 0x041, nullptr},
        {"name varchar(64)", "name", "varchar", Field::kText, 0x100, nullptr},
        {"amount decimal(10,2)", "amount", "decimal", Field::kNumeric, 0x300, nullptr},
        {"amount decimal ( 10 , 2 ) not null", "amount", "decimal", Field::kNumeric, 0x304, nullptr},
        {"Status integer default -1", "Status", "integer", Field::kInteger, 0x008, "-1"},
        {"Ratio real DEFAULT +.5 UNIQUE", "Ratio", "real", Field::kReal, 0x018, "+.5"},
        {"Title text default 'a b'", "Title", "text", Field::kText, 0x008, "'a b'"},
        {"Title text default \"x, y\" not null", "Title", "text", Field::kText, 0x00C, "\"x, y\""},
        {"Draft TEXT DEFAULT ''", "Draft", "TEXT", Field::kText, 0x008, "''"},
        {"nick TEXT COLLATE NOCASE", "nick", "TEXT", Field::kText, 0x000, nullptr},
        {"big unsigned big int", "big", "unsigned", Field::kNumeric, 0x000, nullptr},
        {"owner integer foreign key references Friend(UsrId)", "owner", "integer", Field::kInteger, 0x022, nullptr},
        {"  id\tINT  primary\tkey  ", "id", "INT", Field::kInteger, 0x001, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.definition);
        std::string text = c.definition;
        const std::shared_ptr<Field> field = Field::parse(text, 7);
        ASSERT_NE(nullptr, field);
        EXPECT_TRUE(text.empty()) << text;
        EXPECT_EQ(7, field->getFieldIndex());
        EXPECT_EQ(c.name, field->getFieldName());
        EXPECT_EQ(c.declaredType, field->getDeclaredType());
        EXPECT_EQ(c.affinity, field->getTypeAffinity());
        EXPECT_EQ(c.flags, field->getFlags());
        if (c.defaultValue) {
            EXPECT_EQ(c.defaultValue, field->getDefaultValue());
        }
    }

    std::string text = "amount decimal(10,2)";
    const std::shared_ptr<Field> decimal = Field::parse(text, 0);
    EXPECT_EQ(10, decimal->getTypeLength());
    EXPECT_EQ(2, decimal->getPrecisionLength());

    text = "owner integer references Friend ( UsrId ) , next text";
    const std::shared_ptr<Field> owner = Field::parse(text, 0);
    EXPECT_EQ("Friend", owner->getReferenceTable());
    EXPECT_EQ("UsrId", owner->getReferenceField());
    EXPECT_EQ("next text", text);
}

TEST(FieldParse, OutOfRangeTypeLengthIsClampedNotUndefined) {
    std::string text = "n varchar(99999999999999999999, abc)";
    const std::shared_ptr<Field> field = Field::parse(text, 0);
    EXPECT_EQ(INT32_MAX, field->getTypeLength());
    EXPECT_EQ(0, field->getPrecisionLength());  // a word reads as 0, like atoi
}

TEST(FieldParse, RefusalsNameTheRemainingText) {
    const struct {
        const char* definition;
        const char* debugInfo;
        const char* remaining;  // the text as consumed up to the failure
    } cases[] = {
        {"", "Parse DDL: fieldName[]!", ""},
        {"\"quoted\" text", "Parse DDL: fieldName[\"quoted\" text]!", "\"quoted\" text"},
        {"[name] text", "Parse DDL: fieldName[[name] text]!", "[name] text"},
        {"lonely", "Parse DDL: declaredType[]!", ""},
        {"lonely ,x text", "Parse DDL: declaredType[,x text]!", ",x text"},
        {"n decimal(1,2,3) x", "Parse DDL: getParameters[x]!", "x"},
        {"n decimal( ) x", "Parse DDL: getParameters[x]!", "x"},
        {"n text default NULL", "Parse DDL: getDefaultValue[NULL]!", "NULL"},
        {"n text default CURRENT_TIMESTAMP", "Parse DDL: getDefaultValue[CURRENT_TIMESTAMP]!", "CURRENT_TIMESTAMP"},
        {"n int default (1)", "Parse DDL: getDefaultValue[(1)]!", "(1)"},
        {"n text default 'open , m text", "Parse DDL: getDefaultValue['open , m text]!", "'open , m text"},
        {"n text default", "Parse DDL: getDefaultValue[]!", ""},
        {"n text not key", "Parse DDL: NOT 'NULL'[]!", ""},
        {"n text not", "Parse DDL: NOT 'NULL'[]!", ""},
        {"n int primary index, m int", "Parse DDL: PRIMARY 'KEY'[, m int]!", ", m int"},
        {"n int foreign (a)", "Parse DDL: FOREIGN 'KEY'[(a)]!", "(a)"},
        {"n int references (a)", "Parse DDL: referenceTable[(a)]!", "(a)"},
        {"n int references t", "Parse DDL: referenceField[]!", ""},
        {"n int references t(a, b), m int", "Parse DDL: referenceField[, m int]!", ", m int"},
        {"n int check (n > 0)", "Parse DDL: getToken[(n > 0)]!", "(n > 0)"},
        {"n text default 'it''s'", "Parse DDL: getToken['s']!", "'s'"},
        // Without the table parser's line-break removal, a line break after the
        // first word fails the first full match already.
        {"n text not\nnull", "Parse DDL: fieldName[n text not\nnull]!", "n text not\nnull"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.definition);
        std::string text = c.definition;
        expectThrow([&] { Field::parse(text, 0); }, c.debugInfo, "sqlite_recovery/Field", "parse");
        EXPECT_EQ(c.remaining, text);
    }
}

TEST(FieldParse, LongInputsParseWithoutRecursion) {
    // A regex engine that backtracks recursively overflows the stack on inputs like these.
    std::string text = "Blob text default '" + std::string(1000000, 'x') + "' , next int";
    const std::shared_ptr<Field> field = Field::parse(text, 0);
    EXPECT_EQ(1000002u, field->getDefaultValue().size());
    EXPECT_EQ("next int", text);

    std::string words = "n int";
    for (int i = 0; i < 200000; ++i) words += " w";
    EXPECT_EQ(Field::kInteger, Field::parse(words, 0)->getTypeAffinity());
    EXPECT_TRUE(words.empty());
}

// ---- Field: affinity, accessors, validity --------------------------------------

TEST(FieldAffinity, FirstMatchingSubstringDecides) {
    const struct {
        const char* declaredType;
        uint8_t affinity;
    } cases[] = {
        {"b", Field::kNumeric},        {"blob", Field::kBlob},      {"float", Field::kReal},
        {"VARCHAR", Field::kText},     {"INTERVAL", Field::kInteger}, {"", Field::kBlob},
        {"bigint", Field::kInteger},   {"CHARINT", Field::kInteger}, {"clob", Field::kText},
        {"TextBlob", Field::kText},    {"BlobReal", Field::kBlob},  {"double", Field::kReal},
        {"REAL", Field::kReal},        {"numeric", Field::kNumeric}, {"boolean", Field::kNumeric},
        {"datetime", Field::kNumeric},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.declaredType);
        EXPECT_EQ(c.affinity, Field(0, "f", c.declaredType).getTypeAffinity());
        EXPECT_EQ(c.affinity, Field::affinityOf(c.declaredType));
    }
}

TEST(FieldAccessors, MissingOptionalPartsThrow) {
    const Field plain(0, "Plain", "text");
    expectThrow([&] { plain.getDefaultValue(); }, "Field[Plain] no DEFAULT!", "sqlite_recovery/Field",
                "getDefaultValue");
    expectThrow([&] { plain.getTypeLength(); }, "Field[Plain] no TYPE_LENGTH!", "sqlite_recovery/Field",
                "getTypeLength");
    expectThrow([&] { plain.getPrecisionLength(); }, "Field[Plain] no PRECISION_LENGTH!",
                "sqlite_recovery/Field", "getPrecisionLength");
    expectThrow([&] { plain.getReferenceTable(); }, "Field[Plain] no REFERENCES!", "sqlite_recovery/Field",
                "getReferenceTable");
    expectThrow([&] { plain.getReferenceField(); }, "Field[Plain] no REFERENCES!", "sqlite_recovery/Field",
                "getReferenceField");

    const Field sized(1, "Sized", "varchar", 32);
    EXPECT_EQ(0x100, sized.getFlags());
    EXPECT_EQ(32, sized.getTypeLength());
    expectThrow([&] { sized.getPrecisionLength(); }, "Field[Sized] no PRECISION_LENGTH!",
                "sqlite_recovery/Field", "getPrecisionLength");

    Field built(2, "Built", "integer", 10, 2);
    built.setPrimaryKey();
    built.setNotNull();
    built.setDefaultValue("7");
    built.setReference("T", "c");
    EXPECT_EQ(0x32D, built.getFlags());
    EXPECT_EQ("7", built.getDefaultValue());
    EXPECT_EQ("T", built.getReferenceTable());
}

TEST(FieldValidity, NameTypeAndAffinity) {
    const struct {
        const char* name;
        const char* declaredType;
        bool valid;
    } cases[] = {
        {"MesLocalID", "INTEGER", true}, {"_x9", "b", true},        {"9lives", "text", false},
        {"", "text", false},             {"has space", "text", false}, {"Name", "", false},
        {"na-me", "text", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.valid, Field(0, c.name, c.declaredType).isValid());
    }
}

// ---- Table::parse ---------------------------------------------------------------

TEST(TableParse, SqliteMasterDefinition) {
    const Table table = Table::parse(kSqliteMaster);
    EXPECT_EQ("sqlite_master", table.getTableName());
    expectColumns(table, {{"type", "text", Field::kText, 0x004},
                          {"name", "text", Field::kText, 0x005},
                          {"tbl_name", "text", Field::kText, 0x000},
                          {"rootpage", "integer", Field::kInteger, 0x004},
                          {"sql", "text", Field::kText, 0x000}});
    const std::vector<Field> primaryKeys = table.getPrimaryKeyFields();
    ASSERT_EQ(1u, primaryKeys.size());
    EXPECT_EQ("name", primaryKeys[0].getFieldName());
    EXPECT_EQ(-1, table.getRowIdFieldIndex());  // a TEXT primary key is not the row id
    EXPECT_TRUE(table.isValid());

    const Table spread = Table::parse(
        "create table sqlite_master(\r\n  type text not null,\n  name text not null primary key,\n"
        "  tbl_name text,\r\n  rootpage integer not null,\n  sql text\n);;  \n");
    EXPECT_EQ("sqlite_master", spread.getTableName());
    expectColumns(spread, {{"type", "text", Field::kText, 0x004},
                           {"name", "text", Field::kText, 0x005},
                           {"tbl_name", "text", Field::kText, 0x000},
                           {"rootpage", "integer", Field::kInteger, 0x004},
                           {"sql", "text", Field::kText, 0x000}});
}

TEST(TableParse, MessageTableHasItsRowIdAtColumnOne) {
    const Table table = Table::parse(kChatTable);
    EXPECT_EQ("Chat_0123456789abcdef0123456789abcdef", table.getTableName());
    expectColumns(table, {{"TableVer", "integer", Field::kInteger, 0x008},
                          {"MesLocalID", "integer", Field::kInteger, 0x041},
                          {"MesSvrID", "integer", Field::kInteger, 0x008},
                          {"CreateTime", "integer", Field::kInteger, 0x008},
                          {"Message", "text", Field::kText, 0x000},
                          {"Status", "integer", Field::kInteger, 0x008},
                          {"ImgStatus", "integer", Field::kInteger, 0x008},
                          {"Type", "integer", Field::kInteger, 0x000},
                          {"Des", "integer", Field::kInteger, 0x000}});
    EXPECT_EQ("1", table.getFieldByFieldName("TableVer").getDefaultValue());
    EXPECT_EQ("2", table.getFieldByFieldName("ImgStatus").getDefaultValue());
    EXPECT_EQ(1, table.getRowIdFieldIndex());
    EXPECT_TRUE(table.getFieldByFieldIndex(1).isPrimaryKey());
    EXPECT_TRUE(table.isValid());
}

TEST(TableParse, FriendTableWithBlanksAroundCommas) {
    std::string statement = kFriendTable;
    EXPECT_EQ(1u, talwen::common::replaceAll(statement, ", ShortPY TEXT ,", ", ShortPY BLOB ,"));
    const Table table = Table::parse(statement);
    EXPECT_EQ("Friend", table.getTableName());
    expectColumns(table, {{"UsrName", "TEXT", Field::kText, 0},
                          {"NickName", "TEXT", Field::kText, 0},
                          {"Uin", "INTEGER", Field::kInteger, 0x008},
                          {"Email", "TEXT", Field::kText, 0},
                          {"Mobile", "TEXT", Field::kText, 0},
                          {"Sex", "INTEGER", Field::kInteger, 0x008},
                          {"FullPY", "TEXT", Field::kText, 0},
                          {"ShortPY", "BLOB", Field::kBlob, 0},
                          {"Img", "TEXT", Field::kText, 0},
                          {"Type", "INTEGER", Field::kInteger, 0x008},
                          {"LastChatTime", "INTEGER", Field::kInteger, 0x008},
                          {"Draft", "TEXT", Field::kText, 0x008}});
    EXPECT_EQ("''", table.getFieldByFieldName("Draft").getDefaultValue());
    EXPECT_TRUE(table.getPrimaryKeyFields().empty());
    EXPECT_EQ(-1, table.getRowIdFieldIndex());
    EXPECT_TRUE(table.isValid());
}

TEST(TableParse, TableConstraintsReadAsColumns) {
    const Table table = Table::parse(
        "CREATE TABLE t(a text, b int, primary key (a, b), foreign key (a) references u (b))");
    ASSERT_EQ(4u, table.getFieldCount());
    const Field& primary = table.getFieldByFieldIndex(2);
    EXPECT_EQ("primary", primary.getFieldName());
    EXPECT_EQ("key", primary.getDeclaredType());
    EXPECT_EQ(0x300, primary.getFlags());
    EXPECT_EQ(0, primary.getTypeLength());
    const Field& foreign = table.getFieldByFieldIndex(3);
    EXPECT_EQ("foreign", foreign.getFieldName());
    EXPECT_EQ("u", foreign.getReferenceTable());
    EXPECT_EQ("b", foreign.getReferenceField());
}

TEST(TableParse, RowIdNeedsExactlyOneIntegerPrimaryKey) {
    const struct {
        const char* statement;
        int64_t rowIdIndex;
    } cases[] = {
        {"CREATE TABLE t(id integer primary key, v text)", 0},
        {"CREATE TABLE t(v text, w text, id INTEGER PRIMARY KEY)", 2},
        {"CREATE TABLE t(a integer primary key, b integer primary key)", -1},
        {"CREATE TABLE t(a real primary key)", -1},
        {"CREATE TABLE t(a integer)", -1},
        {"CREATE TABLE t()", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.statement);
        EXPECT_EQ(c.rowIdIndex, Table::parse(c.statement).getRowIdFieldIndex());
    }
}

TEST(TableParse, StatementsOutsideTheFormAreRefused) {
    const char* const statements[] = {
        "CREATE TABLE t(a text",
        "CREATE TABLE \"t\"(a text)",
        "CREATE TABLE [t](a text)",
        "CREATE TABLE main.t(a text)",
        "CREATE TEMP TABLE t(a text)",
        "CREATE TABLE IF NOT EXISTS t(a text)",
        "CREATE TABLE t AS SELECT * FROM u",
        "CREATE TABLE t(a text) ;",
        "CREATE TABLE t(a text) x",
        "CREATETABLE t(a text)",
        "CREATE TABLE t",
        "CREATE INDEX i ON t(a)",
        "",
        ")",
    };
    for (const char* statement : statements) {
        SCOPED_TRACE(statement);
        expectThrow([&] { Table::parse(statement); }, std::string("Parse DDL: getTableName[") + statement + "]!",
                    "sqlite_recovery/Table", "parse");
    }
    // The message shows the text after line breaks and vertical bars became blanks.
    expectThrow([] { Table::parse("CREATE TABLE\nt|(a text"); }, "Parse DDL: getTableName[CREATE TABLE t (a text]!",
                "sqlite_recovery/Table", "parse");
}

TEST(TableParse, ColumnRefusalsPassThrough) {
    expectThrow([] { Table::parse("CREATE TABLE t(a text, b text default NULL, c int)"); },
                "Parse DDL: getDefaultValue[NULL, c int]!", "sqlite_recovery/Field", "parse");
    expectThrow([] { Table::parse("CREATE TABLE t(a text, b)"); }, "Parse DDL: declaredType[]!",
                "sqlite_recovery/Field", "parse");
    expectThrow([] { Table::parse("CREATE TABLE t(a text,, b int)"); }, "Parse DDL: fieldName[, b int]!",
                "sqlite_recovery/Field", "parse");
}

TEST(TableParse, TruncatedOrDamagedStatementsFailCleanly) {
    const std::string statement = kChatTable;
    for (size_t length = 0; length <= statement.size(); ++length) {
        const std::string cut = statement.substr(0, length);
        try {
            const Table table = Table::parse(cut);
            EXPECT_LE(table.getFieldCount(), 9u);
        } catch (const CommonException& e) {
            EXPECT_EQ(-1, e.getCode());
        }
    }
    // Every byte in turn replaced by characters the grammar treats specially.
    for (const char replacement : {'(', ')', ',', '\'', '"', '\0', '\n', '\xff'}) {
        for (size_t at = 0; at < statement.size(); ++at) {
            std::string damaged = statement;
            damaged[at] = replacement;
            try {
                Table::parse(damaged);
            } catch (const CommonException& e) {
                EXPECT_EQ(-1, e.getCode());
            }
        }
    }
}

TEST(TableParse, ManyColumnsParseInOnePass) {
    std::string statement = "CREATE TABLE wide(";
    const int columns = 100000;
    for (int i = 0; i < columns; ++i) statement += (i ? ", c" : "c") + std::to_string(i) + " int default 0";
    statement += ")";
    const Table table = Table::parse(statement);
    ASSERT_EQ(static_cast<uint32_t>(columns), table.getFieldCount());
    EXPECT_EQ(columns - 1, table.getFieldByFieldName("c99999").getFieldIndex());
}

// ---- Table: building and lookups -----------------------------------------------

TEST(TableLookup, IndexAndNameMisses) {
    const Table table = Table::parse(kSqliteMaster);
    expectThrow([&] { table.getFieldByFieldIndex(5); }, "Field Index[5] of Table[sqlite_master] overflow!",
                "sqlite_recovery/Table", "getFieldByFieldIndex");
    expectThrow([&] { table.getFieldByFieldName("Name"); }, "Field[Name] in Table[sqlite_master] not found!",
                "sqlite_recovery/Table", "getFieldByFieldName");
    EXPECT_EQ("rootpage", table.getFieldByFieldIndex(3).getFieldName());
}

TEST(TableBuild, PushBackKeepsIndicesSuccessiveAndFirstNameWins) {
    Table table("t");
    EXPECT_TRUE(table.isValid());
    table.pushBack(Field(0, "a", "text"));
    table.pushBack(Field(1, "b", "int"));
    expectThrow([&] { table.pushBack(Field(3, "c", "int")); },
                "push_back index[2] != fieldIndex[3], please push_back field successively!",
                "sqlite_recovery/Table", "pushBack");
    expectThrow([&] { table.pushBack(Field(-1, "c", "int")); },
                "push_back index[2] != fieldIndex[4294967295], please push_back field successively!",
                "sqlite_recovery/Table", "pushBack");
    table.pushBack(Field(2, "a", "int"));
    ASSERT_EQ(3u, table.getFieldCount());
    EXPECT_EQ(0, table.getFieldByFieldName("a").getFieldIndex());

    const Table copy = table;
    EXPECT_EQ(3u, copy.getFieldCount());
    EXPECT_EQ(1, copy.getFieldByFieldName("b").getFieldIndex());
}

TEST(TableValidity, NameAndEveryColumn) {
    EXPECT_FALSE(Table::parse("CREATE TABLE t(a text, 2b text)").isValid());
    EXPECT_FALSE(Table::parse("CREATE TABLE 9t(a text)").isValid());
    EXPECT_TRUE(Table::parse("CREATE TABLE _t9(a text)").isValid());
    EXPECT_FALSE(Table("").isValid());
}
