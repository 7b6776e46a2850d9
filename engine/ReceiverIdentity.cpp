#include "engine/ReceiverIdentity.h"

#include "engine/LoaderCodes.h"
#include "package/ByteOrder.h"

namespace CHERFLoaderLib {

bool CReceiverIdentity::IsHighSpeedBoard(uint32_t options) const
{
    if (m_nBoardId == -1)
        return false;
    if (options & HLO_HIGH_SPEED_ANY_BOARD)
        return true;
    const CBoardFacts* board = FindBoard(m_nBoardId);
    return board != nullptr && board->bHighSpeed;
}

std::string SerialText(const uint8_t* record)
{
    std::string text;
    const uint8_t* p = record + ID_SERIAL;
    for (size_t i = 0; i < ID_SERIAL_LENGTH && p[i] != 0; ++i)
        if (p[i] >= 0x20 && p[i] < 0x7F)
            text += static_cast<char>(p[i]);
    return text;
}

void CReceiverIdentity::TakeIdentity(const uint8_t* record)
{
    m_wOldAppVersion = GetLe16(record + ID_APP_VERSION);
    m_wOldBootVersion = GetLe16(record + ID_BOOT_VERSION);
    m_nBoardId = GetLe16(record + ID_BOARD);
    m_strSerial = SerialText(record);
}

}  // namespace CHERFLoaderLib
