#include <gtest/gtest.h>

#include "app/store/PictureNames.h"

using talwen::app::contactPictureFileName;
using talwen::app::ownerPictureFileName;

TEST(PictureNames, ContactsByDecimalId) {
    EXPECT_EQ("7.png", contactPictureFileName(7).toStdString());
    EXPECT_EQ("2147483647.png", contactPictureFileName(2147483647).toStdString());
}

TEST(PictureNames, OwnerNamesStayInsideTheCacheAndApartFromContacts) {
    const struct {
        const char* usrName;
        const char* fileName;
    } cases[] = {
        {"wxid_abc-9", "wxid_abc-9.png"},
        {"../evil", "~2e~2e~2fevil.png"},
        {"a\\b:c", "a~5cb~3ac.png"},
        {"1234", "~31234.png"},  // never the name of contact 1234
        {"~31234", "~7e31234.png"},
        {"con", "~63on.png"},  // a device name on Windows
        {"COM1", "~43OM1.png"},
        {"console", "console.png"},
        {"微", "~e5~be~ae.png"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.fileName, ownerPictureFileName(QString::fromUtf8(c.usrName)).toStdString()) << c.usrName;
    }
    EXPECT_EQ("", ownerPictureFileName(QString(129, QLatin1Char('a'))).toStdString());
    EXPECT_EQ(132u, ownerPictureFileName(QString(128, QLatin1Char('a'))).toStdString().size());
}
