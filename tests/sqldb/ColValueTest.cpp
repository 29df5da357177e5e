#include <gtest/gtest.h>

#include <sstream>

#include "common/CommonException.h"
#include "sqldb/ColValue.h"

using talwen::common::CommonException;
using talwen::sqldb::ColValue;

TEST(ColValue, ClassesAccessorsAndStreaming) {
    const uint8_t bytes[] = {0x01, 0xFE};
    ColValue blob(bytes, 2);
    EXPECT_EQ("01fe", blob.getBlobHexValue());
    EXPECT_EQ(2u, blob.getBlobLength());
    uint8_t copy[2] = {};
    EXPECT_EQ(2u, blob.copyBlob(copy));
    EXPECT_EQ(0xFE, copy[1]);

    std::ostringstream out;
    out << ColValue() << "|" << ColValue(int64_t{42}) << "|" << ColValue(std::string("t")) << "|" << blob;
    EXPECT_EQ("<NULL>|42|t|01fe", out.str());

    try {
        ColValue().getTextValue();
        FAIL();
    } catch (const CommonException& e) {
        EXPECT_STREQ("ColValue: storeClass[5] not TEXT!", e.what());
        EXPECT_EQ("getTextValue", e.getFunctionName());
    }
    EXPECT_THROW(ColValue(int64_t{1}).getBlobLength(), CommonException);
}
