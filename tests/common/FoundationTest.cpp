#include <gtest/gtest.h>

#include "common/CommonException.h"
#include "common/CommonFacility.h"
#include "common/LimitedLogger.h"

#include <cstring>
#include <sstream>
#include <vector>

using namespace talwen::common;

TEST(CommonException, WhatFallsBackFromMessageToDebugInfoToDefault) {
    EXPECT_STREQ("unknown reason!", CommonException().what());
    EXPECT_STREQ("dbg", CommonException(-1, "dbg", "f", "fn", 3).what());
    EXPECT_STREQ("msg", CommonException(-1, std::string("msg")).what());
    ErrorInfo error;
    error.set(-2, "from error", "sqlite_recovery/X", "op", 7);
    CommonException fromError(error);
    EXPECT_EQ(-2, fromError.getCode());
    EXPECT_EQ("from error", fromError.getDebugInfo());
    EXPECT_EQ("op", fromError.getFunctionName());
    EXPECT_EQ(7, fromError.getLineNo());
}

namespace {
struct RecordingLogger : Logger {
    std::vector<std::string> lines;
    void begin() override { lines.push_back("begin"); }
    void log(const std::string& text) override { lines.push_back(text); }
    void log(uint32_t, uint32_t, uint32_t, uint32_t) override { lines.push_back("4u"); }
    void log(const std::string& t, uint32_t, uint32_t, uint32_t) override { lines.push_back(t + "3u"); }
    void log(const ErrorInfo& e) override { lines.push_back("err:" + e.getMessage()); }
    void log(uint32_t) override { lines.push_back("1u"); }
    void end() override { lines.push_back("end"); }
};
}  // namespace

TEST(LimitedLogger, PassesUpToLimitThenTrailerOnceThenNothing) {
    RecordingLogger inner;
    LimitedLogger limited(&inner, 10);
    for (int i = 0; i < 12; ++i) limited.log("line" + std::to_string(i));
    ASSERT_EQ(11u, inner.lines.size());
    EXPECT_EQ("line9", inner.lines[9]);
    EXPECT_EQ("\tSimilar type information may be has more ... , ", inner.lines[10]);
    limited.begin();
    limited.end();
    EXPECT_EQ("end", inner.lines.back());

    RecordingLogger silent;
    LimitedLogger zero(&silent, 0);
    zero.log(ErrorInfo());
    zero.log(5u);
    EXPECT_TRUE(silent.lines.empty());

    LimitedLogger nullInner(nullptr, 2);
    nullInner.log("dropped safely");
}

TEST(CommonFacility, FormatDuration) {
    const std::pair<int64_t, const char*> cases[] = {
        {0, "0ms"}, {999, "999ms"}, {61000, "1m1s0ms"}, {3600000, "1h0m0s0ms"},
        {3723004, "1h2m3s4ms"}, {90000000, "25h0m0s0ms"}, {1000, "1s0ms"}};
    for (const auto& [ms, text] : cases) EXPECT_EQ(text, formatDuration(ms)) << ms;
}

TEST(CommonFacility, HexRoundTrip) {
    const uint8_t bytes[] = {0x00, 0xAB, 0xFF};
    EXPECT_EQ("00abff", toHexString(bytes, 3));
    EXPECT_EQ("", toHexString(bytes, 0));
    uint8_t out[3] = {};
    EXPECT_EQ(3u, fromHexString("00abff7", out));
    EXPECT_EQ(0, std::memcmp(bytes, out, 3));
}

TEST(CommonFacility, TextHelpers) {
    EXPECT_EQ("a b", trim("  a b\t ", " \t"));
    EXPECT_EQ("", trim(" \t ", " \t"));
    std::string text = "aXbXX";
    EXPECT_EQ(3u, replaceAll(text, "X", "XX"));
    EXPECT_EQ("aXXbXXXX", text);
    std::vector<std::string> pieces;
    split(",,a,,bc, d,", ", ", pieces);
    EXPECT_EQ((std::vector<std::string>{"a", "bc", "d"}), pieces);
    std::string upper = "ShortPY_1";
    toUpper(upper);
    EXPECT_EQ("SHORTPY_1", upper);
}

TEST(CommonFacility, RemoveFileReportsFailureThenClearsOnSuccess) {
    ErrorInfo error;
    const std::string path = ::testing::TempDir() + "wcr_remove_me";
    removeFile(path + ".missing", &error);
    EXPECT_EQ(-1, error.getCode());
    EXPECT_EQ("removeFile", error.getFunctionName());
    EXPECT_FALSE(error.getMessage().empty());
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    std::fclose(f);
    EXPECT_TRUE(fileExists(path));
    removeFile(path, &error);
    EXPECT_TRUE(error.isSuccess());
    EXPECT_FALSE(fileExists(path));
}

TEST(CommonFacility, BigEndianFieldsReadAsNumbers) {
    uint8_t field[4] = {0x00, 0x00, 0x10, 0x00};
    bigEndianToHost32(field);
    uint32_t value = 0;
    std::memcpy(&value, field, 4);
    EXPECT_EQ(4096u, value);
}
