#include "wizard/JobDriver.h"

#include <utility>

namespace wizard {

// The wizard sends the maker's monitor programs when they lie beside the
// package (the folder it starts in); otherwise the built-in ones.
bool CEngineJobDriver::Start(const std::string& strPackagePath, std::shared_ptr<const CPackageImage> pPackage,
                             const CHERFLoaderLib::CPortId& port, const CHERFLoaderLib::CJobSettings& settings,
                             CHERFLoaderLib::CJobSink sink, std::string& strError)
{
    Stop();
    m_pJob.reset();
    if (!pPackage)
        pPackage = CHERFLoaderLib::LoadPackage(strPackagePath, strError);
    if (!pPackage)
        return false;
    CHERFLoaderLib::CJobSettings jobSettings = settings;
    jobSettings.strMonitorFolder = CHERFLoaderLib::CHERFLoader::MonitorFolderBeside(strPackagePath);
    m_pJob = std::make_unique<CHERFLoaderLib::CUpgradeJob>(std::move(pPackage), std::move(jobSettings),
                                                           std::move(sink));
    m_pJob->SetPorts(port);
    if (m_pJob->Start())
        return true;
    m_pJob.reset();
    strError = "the upgrade could not be started: no thread for it";
    return false;
}

bool CEngineJobDriver::Cancel()
{
    return !m_pJob || m_pJob->Cancel();
}

bool CEngineJobDriver::MayStop() const
{
    return !m_pJob || m_pJob->MayStop();
}

void CEngineJobDriver::Stop()
{
    if (m_pJob)
        m_pJob->Stop();
}

CHERFLoaderLib::CJobReport CEngineJobDriver::Report() const
{
    return m_pJob ? m_pJob->Report() : CHERFLoaderLib::CJobReport();
}

std::unique_ptr<CJobDriver> CEngineJobDriver::Make()
{
    return std::make_unique<CEngineJobDriver>();
}

}  // namespace wizard
