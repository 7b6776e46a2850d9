// ParseInfoReply: the receiver's information text into port settings.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "link/ReceiverTextLink.h"

namespace {

CReceiverPortInfo Initial()
{
    CReceiverPortInfo info;
    std::strcpy(info.m_szProduct, "none");
    info.m_nPort = 9;
    info.m_nBaudRate = 19200;
    info.m_nByteSize = 7;
    info.m_nParity = 1;
    info.m_nStopBits = 2;
    return info;
}

struct InfoRow {
    const char* pszName;
    std::string text;
    bool bResult;
    const char* pszProduct;
    int nPort;
    uint32_t nBaud;
    int nByteSize;
    int nParity;
    int nStopBits;
};

// Each row starts from port 9, 19200 baud, 7 bits, odd parity, two stop bits.
TEST(ParseInfoReply, Fields)
{
    const std::string longName(40, 'N');
    const std::string longField = "PRODUCT," + std::string(300, 'L');
    const InfoRow rows[] = {
        {"product and port", "PRODUCT,AB12;PORT,1,38400,0,8,1,N", true, "AB12", 1, 38400, 8, 0, 0},
        {"unknown rate kept, two stop bits, even", "PORT,1,12345,0,8,2,E", true, "none", 1, 19200, 8, 2, 2},
        {"two items only", "PORT,1,9600", false, "none", 9, 19200, 7, 1, 2},
        {"product alone", "PRODUCT,ZX", false, "ZX", 9, 19200, 7, 1, 2},
        {"odd parity, other stop count kept", "PORT,2,115200,0,8,3,O", true, "none", 2, 115200, 8, 1, 2},
        {"unknown parity letter kept", "PORT,0,2400,0,7,1,X", true, "none", 0, 2400, 7, 1, 0},
        {"port number wraps like a byte", "PORT,257,4800,0,8,1,N", true, "none", 1, 4800, 8, 0, 0},
        {"number beyond int range", "PORT,1,99999999999999999999,0,8,1,N", true, "none", 1, 19200, 8, 0, 0},
        {"missing parity letter", "PORT,1,9600,0,8,1,", false, "none", 9, 19200, 7, 1, 2},
        {"not a number", "PORT,1,fast,0,8,1,N", false, "none", 9, 19200, 7, 1, 2},
        {"other fields ignored, last field counts", "VER,1;FOO;PORT,3,57600,0,8,1,N", true, "none", 3, 57600, 8, 0, 0},
        {"product cut to 31 characters", "PRODUCT," + longName, false, "NNNNNNNNNNNNNNNNNNNNNNNNNNNNNNN", 9, 19200, 7,
         1, 2},
        {"field over 255 characters is cut", longField + ";PORT,1,9600,0,8,1,N", true,
         "LLLLLLLLLLLLLLLLLLLLLLLLLLLLLLL", 1, 9600, 8, 0, 0},
        {"empty text", "", false, "none", 9, 19200, 7, 1, 2},
    };
    for (const InfoRow& row : rows) {
        CReceiverPortInfo info = Initial();
        EXPECT_EQ(ParseInfoReply(row.text.c_str(), info), row.bResult) << row.pszName;
        EXPECT_STREQ(info.m_szProduct, row.pszProduct) << row.pszName;
        EXPECT_EQ(info.m_nPort, row.nPort) << row.pszName;
        EXPECT_EQ(info.m_nBaudRate, row.nBaud) << row.pszName;
        EXPECT_EQ(info.m_nByteSize, row.nByteSize) << row.pszName;
        EXPECT_EQ(info.m_nParity, row.nParity) << row.pszName;
        EXPECT_EQ(info.m_nStopBits, row.nStopBits) << row.pszName;
    }
}

TEST(ParseInfoReply, NullTextIsRefused)
{
    CReceiverPortInfo info = Initial();
    EXPECT_FALSE(ParseInfoReply(nullptr, info));
    EXPECT_STREQ(info.m_szProduct, "none");
}

}  // namespace
