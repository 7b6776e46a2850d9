// A flash monitor left running by an interrupted upgrade (the program was
// killed, its terminal closed, the line pulled): the receiver no longer
// answers the wake text or the command line, but its monitor still runs in
// RAM at the rate the interrupted run last set, and it is the receiver's only
// lifeline when its boot loader was being written.
//
// What happens next depends on the boot region. When it holds a whole boot
// loader (read back and found to be the package's, or known from the
// interrupted run's record never to have been touched), the monitor is ended
// and the run starts over the usual way, every check made again. Otherwise
// the upgrade is finished through the running monitor, and the monitor is
// ended only once the region holds the package's boot loader, read back.
#include <algorithm>
#include <iterator>
#include <vector>

#include "engine/HERFLoaderImpl.h"
#include "link/ReceiverLines.h"
#include "package/ByteOrder.h"
#include "transfer/StagedImage.h"

namespace CHERFLoaderLib {

namespace {
constexpr uint32_t MONITOR_RATES[] = {115200, 19200};
constexpr int FIND_TIMEOUT_MS = 400;
constexpr int FIND_ATTEMPTS = 2;
constexpr int INFO_TIMEOUT_MS = 2000;
constexpr int END_TIMEOUT_MS = 1000;
constexpr char FOUND[] = "Found the flash monitor of an interrupted upgrade; ";

const CFirmwareSection* BootSectionOf(const CFirmwareFileEntry& package)
{
    for (const auto& section : package.sections)
        if ((section->flags & SECTION_BOOT) && !(section->flags & SECTION_APP))
            return section.get();
    return nullptr;
}
}  // namespace

bool CHERFLoaderImpl::FindRunningMonitor(bool recordFirst)
{
    CInterruptedRun record;
    std::vector<uint32_t> rates(std::begin(MONITOR_RATES), std::end(MONITOR_RATES));
    if (m_nLineRate > 115200)
        rates.insert(rates.begin(), m_nLineRate);
    if (recordFirst && CInterruptedRunStore::Default().Find(m_Links.PortName(0), std::string(), record))
        rates.insert(rates.begin(), record.nMonitorBaud);
    m_Links.m_MonitorMgr.SetPorts(&m_Links.m_PrimaryPort, nullptr);
    std::vector<uint32_t> tried;
    for (uint32_t rate : rates) {
        if (std::find(tried.begin(), tried.end(), rate) != tried.end())
            continue;
        tried.push_back(rate);
        m_Links.m_PrimaryPort.Configure(LINE_PACKET.WithRate(rate));
        for (int attempt = 0; attempt < FIND_ATTEMPTS && !IsCancelled(); ++attempt) {
            if (m_Links.m_MonitorMgr.CheckRunning(FIND_TIMEOUT_MS) == LINK_OK) {
                m_nRateNow = rate;
                return true;
            }
        }
    }
    m_Links.m_PrimaryPort.Configure(LINE_PACKET);
    return false;
}

CHERFLoaderImpl::EReattach CHERFLoaderImpl::ReattachMonitor()
{
    // A monitor this run cannot work with is left running as it was found:
    // nothing shows whether its boot region is whole, and ending it could
    // leave a receiver that never starts again.
    auto fail = [this](const std::string& why, const std::string& whatToDo) {
        m_eBootRegion = EBootRegion::Unknown;
        const std::string text = std::string(FOUND) + why + ". " + whatToDo;
        NotifyText(HLN_TEXT, text);
        SetError(HLE_CONNECT_FAILED, text);
        NoteReport(&CRunReport::bReattached);
        return EReattach::Failed;
    };
    const std::string nothingElse =
        "It is left running as it was found, and a later run would find it the same way: if the interrupted "
        "upgrade had not begun to write the boot loader, switch the receiver off and on and run the upgrade "
        "again; otherwise keep it powered and have it serviced";
    if (m_Links.m_MonitorMgr.Command(MON_CMD_READ_INFO, INFO_TIMEOUT_MS, 0, 0, 0, nullptr) != LINK_OK)
        return fail("it does not say which receiver it runs on", nothingElse);
    const uint8_t* info = m_Links.m_MonitorMgr.GetMonitorInfo().data();
    m_Receiver.TakeIdentity(info);
    CInterruptedRun record;
    const bool haveRecord =
        CInterruptedRunStore::Default().Find(m_Links.PortName(0), m_Receiver.m_strSerial, record);
    m_Receiver.m_bReceiverMemoryMap = haveRecord && !record.memoryMap.empty();
    m_Receiver.m_pMemoryMap = CreateMemoryMapInfo(m_Receiver.m_nBoardId,
                                                  m_Receiver.m_bReceiverMemoryMap ? record.memoryMap.data() : nullptr,
                                                  m_Receiver.m_bReceiverMemoryMap ? record.memoryMap.size() : 0);
    if (!m_Receiver.m_pMemoryMap)
        return fail("its board " + std::to_string(m_Receiver.m_nBoardId) + " has no known memory layout", nothingElse);
    std::string flashText;
    if (ReadFlashChip(flashText) != LINK_OK)
        return fail("it does not say which flash chip the receiver carries", nothingElse);
    // The versions "before" are those the interrupted run found: what the
    // receiver reports now may be half new.
    m_Run.NoteReceiver(haveRecord ? record.wOldAppVersion : m_Receiver.m_wOldAppVersion,
                       haveRecord ? record.wOldBootVersion : m_Receiver.m_wOldBootVersion, m_Receiver.m_nBoardId,
                       m_Receiver.m_strSerial);
    NoteReport(&CRunReport::bReattached);

    // The boot region is judged by the best check this monitor has; a check
    // that cannot be made shows nothing either way.
    bool whole = false;
    std::string how = "its boot loader is not shown to be whole";
    const CFirmwareSection* boot = BootSectionOf(Package());
    std::vector<uint8_t> image;
    uint32_t where = 0;
    ProbeMonitorChecks();
    if (boot != nullptr && ProgrammedImage(*boot, image)) {
        if (Rule().bReadFlash && CompareMemory(boot->address, image, where) == ECompare::Match) {
            whole = true;
            how = "it already holds the package's boot loader, read back whole";
        } else if (!Rule().bReadFlash && Rule().bSumFlash && SumCheck(boot->address, image) == ESum::Match) {
            whole = true;
            how = "its boot region's byte sum is the package's boot loader's (it could not be read back)";
        }
    }
    if (!whole && haveRecord && !record.bBootIncomplete) {
        whole = true;
        how = "the interrupted upgrade had not touched its boot loader";
    } else if (!whole && boot == nullptr) {
        m_eBootRegion = EBootRegion::Unknown;
        return fail("its boot loader may not be whole, and this package carries none",
                    haveRecord && !record.strPackage.empty()
                        ? "Keep the receiver powered and run the upgrade again with the package of the interrupted "
                          "upgrade (" + record.strPackage + "), which finishes it"
                        : "Keep the receiver powered and run the upgrade again with a package that carries the "
                          "boot loader, which finishes it");
    }

    if (whole) {
        NotifyText(HLN_TEXT, std::string(FOUND) + how + ": ending the monitor and starting over");
        m_Links.m_MonitorMgr.Command(MON_CMD_RETURN_TO_BOOT, END_TIMEOUT_MS, 0, 0, 0, nullptr);
        m_Links.m_MonitorMgr.Disconnect();
        CInterruptedRunStore::Default().Remove(m_Links.PortName(0), m_Receiver.m_strSerial);
        // The run starts over: the boot loader is identified again and a
        // monitor uploaded afresh, so nothing learnt from this one stays.
        m_Receiver.m_pMemoryMap.reset();
        m_Receiver.m_pFlashDevice.reset();
        m_Receiver.m_bReceiverMemoryMap = false;
        m_Receiver.m_nBoardId = -1;
        m_Proof = CMonitorProof();
        m_Reader.Forget();
        m_nRateNow = 19200;
        return EReattach::Ended;
    }
    NotifyText(HLN_TEXT, std::string(FOUND) + how + ": finishing the upgrade through the monitor");
    m_bFinishThroughMonitor = true;
    m_eBootRegion = EBootRegion::Writing;
    if (haveRecord)
        m_Held = record;
    return EReattach::Finishing;
}

void CHERFLoaderImpl::NoteMonitorHeld(bool bootIncomplete)
{
    if (!m_bHeldSaved && !m_bFinishThroughMonitor) {
        const CRunReport report = GetRunReport();
        m_Held.wOldAppVersion = report.receiver.wOldAppVersion;
        m_Held.wOldBootVersion = report.receiver.wOldBootVersion;
    }
    m_Held.strPort = m_Links.PortName(0);
    m_Held.strSerial = m_Receiver.m_strSerial;
    m_Held.nBoardId = m_Receiver.m_nBoardId;
    if (m_Receiver.m_bReceiverMemoryMap && !m_bFinishThroughMonitor) {
        const auto& map = m_Links.m_BootMgr.GetMemoryMapData();
        m_Held.memoryMap.assign(map.begin(), map.end());
    }
    m_Held.nMonitorBaud = m_nRateNow;
    m_Held.bBootIncomplete = bootIncomplete;
    m_Held.strPackage = m_pPackage->Path();
    std::string error;
    if (!CInterruptedRunStore::Default().Save(m_Held, error) && !m_bHeldSaved)
        NotifyText(HLN_TEXT, "Record of the upgrade not kept (" + error +
                                 "): should it be cut off, the receiver must stay powered for the next run");
    m_bHeldSaved = true;
}

void CHERFLoaderImpl::ForgetMonitorHeld()
{
    CInterruptedRunStore::Default().Remove(m_Links.PortName(0), m_Receiver.m_strSerial);
    m_bHeldSaved = false;
}

}  // namespace CHERFLoaderLib
