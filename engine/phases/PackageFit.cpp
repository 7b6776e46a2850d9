// Refusing a package that does not fit the receiver it meets: checked as
// soon as the receiver's layout is known, before anything is written.
#include "engine/HERFLoaderImpl.h"
#include "transfer/LayoutCheck.h"

namespace CHERFLoaderLib {

bool CHERFLoaderImpl::CheckPackageFitsRam()
{
    // Without a usable map the monitor upload fails on its own.
    if (!m_Receiver.m_pMemoryMap || !m_Receiver.m_pMemoryMap->HasValidRam())
        return true;
    std::string reason;
    if (CheckRamLayout(DescribeLayout(Package()), GetRamArea(*m_Receiver.m_pMemoryMap), reason))
        return true;
    return RefusePackage(reason);
}

bool CHERFLoaderImpl::CheckPackageFitsFlash()
{
    if (!m_Receiver.m_pMemoryMap || !m_Receiver.m_pFlashDevice)
        return RefusePackage("the receiver's flash layout is not known");
    std::string reason;
    if (CheckFlashLayout(DescribeLayout(Package()), *m_Receiver.m_pMemoryMap, *m_Receiver.m_pFlashDevice, reason))
        return true;
    return RefusePackage(reason);
}

bool CHERFLoaderImpl::RefusePackage(const std::string& reason)
{
    SetError(HLE_PACKAGE_REFUSED, "the package does not fit this receiver: " + reason);
    NotifyText(HLN_TEXT, "Package refused: " + reason);
    return false;
}

}  // namespace CHERFLoaderLib
