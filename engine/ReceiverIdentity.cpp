#include "engine/ReceiverIdentity.h"

#include "engine/LoaderCodes.h"

namespace CHERFLoaderLib {

bool CReceiverIdentity::IsHighSpeedBoard(uint32_t options) const
{
    if (m_nBoardId == -1)
        return false;
    if (options & HLO_HIGH_SPEED_ANY_BOARD)
        return true;
    return m_nBoardId == 2 || m_nBoardId == 3 || m_nBoardId == 5 || m_nBoardId == 7 || m_nBoardId == 9;
}

}  // namespace CHERFLoaderLib
