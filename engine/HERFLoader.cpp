#include "engine/HERFLoader.h"

#include <filesystem>
#include <system_error>

#include "platform/DebugOut.h"
#include "transfer/MonitorFiles.h"

#include "engine/HERFLoaderImpl.h"

namespace CHERFLoaderLib {

CHERFLoader::CHERFLoader() = default;

CHERFLoader::~CHERFLoader()
{
    Destroy();
}

void CHERFLoader::Create(CNotifySink sink, uint32_t message)
{
    if (!m_pSession)
        m_pSession = std::make_shared<CHERFLoaderImpl>(std::move(sink), message);
}

void CHERFLoader::SetPorts(const CReceiverPorts& ports)
{
    if (!m_pSession)
        return;
    m_pSession->SetPorts(ports);
}

void CHERFLoader::SetPortNumbers(int32_t primary, int32_t secondary, int32_t third)
{
    SetPorts(CReceiverPorts(CPortId::Com(primary), CPortId::Com(secondary), CPortId::Com(third)));
}

void CHERFLoader::SetFlashCheck(int32_t mode)
{
    if (m_pSession)
        m_pSession->SetFlashCheck(mode);
}

std::string CHERFLoader::MonitorFolderBeside(const std::string& packagePath)
{
    std::filesystem::path folder = std::filesystem::path(packagePath).parent_path();
    if (folder.empty())
        folder = ".";
    std::error_code ec;
    for (int32_t type = 0; type < MONITOR_CLASS_COUNT; ++type)
        if (std::filesystem::exists(folder / MonitorFileName(type), ec))
            return folder.string();
    return std::string();
}

void CHERFLoader::EnableTrace()
{
    platform::EnableDebugOut();
}

void CHERFLoader::SetMonitorFolder(const std::string& folder)
{
    if (m_pSession)
        m_pSession->SetMonitorFolder(folder);
}

void CHERFLoader::SetLineRate(uint32_t baud)
{
    if (m_pSession && IsLineRate(baud))
        m_pSession->SetLineRate(baud);
}

int32_t CHERFLoader::Start(const char* packagePath, uint32_t options)
{
    if (!m_pSession)
        return START_NOT_STARTED;
    return m_pSession->Start(packagePath, options);
}

int32_t CHERFLoader::Start(std::shared_ptr<const CPackageImage> package, uint32_t options)
{
    if (!m_pSession)
        return START_NOT_STARTED;
    return m_pSession->Start(std::move(package), options);
}

int32_t CHERFLoader::GetResult() const
{
    return m_pSession ? m_pSession->GetError() : HLE_NO_SESSION;
}

bool CHERFLoader::Cancel()
{
    return m_pSession ? m_pSession->Cancel() : false;
}

bool CHERFLoader::MayStop() const
{
    return m_pSession ? m_pSession->MayStop() : true;
}

void CHERFLoader::Destroy()
{
    if (!m_pSession)
        return;
    m_pSession->Stop();
    // A thread still inside a receiver wait holds its own reference and frees
    // the session when it ends.
    m_pSession.reset();
}

std::string CHERFLoader::GetStartError() const
{
    return m_pSession ? m_pSession->GetStartError() : std::string();
}

bool CHERFLoader::IsDeviceGone() const
{
    return m_pSession && m_pSession->IsDeviceGone();
}

CRunReport CHERFLoader::GetRunReport() const
{
    if (!m_pSession) {
        CRunReport report;
        report.nResult = HLE_NO_SESSION;
        return report;
    }
    return m_pSession->GetRunReport();
}

}  // namespace CHERFLoaderLib
