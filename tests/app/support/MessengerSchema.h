#pragma once

// The messenger's contact tables as its database declares them, for tests that
// write a small messenger database of their own.
namespace wcrtest {

inline constexpr const char* kFriendTablesSql =
    "CREATE TABLE Friend ( TableVer INTEGER DEFAULT 1 , UsrName TEXT PRIMARY KEY , NickName TEXT , "
    "Uin INTEGER DEFAULT 0 , Email TEXT , Mobile TEXT , Sex INTEGER DEFAULT 0 , FullPY TEXT , "
    "ShortPY TEXT , Img TEXT , Type INTEGER DEFAULT 0 , LastChatTime INTEGER DEFAULT 0 , "
    "Draft TEXT , DefaultRes1 INTEGER DEFAULT 0 , DefaultRes2 INTEGER DEFAULT 0 , DefaultRes3 TEXT );"
    "CREATE TABLE Friend_Ext ( UsrName TEXT PRIMARY KEY , ConRemark TEXT , ConChatRoomMem TEXT , "
    "ConIntRes1 INTEGER DEFAULT 0 , ConStrRes2 TEXT );";

}  // namespace wcrtest
