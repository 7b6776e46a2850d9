#include "wizard/LoaderDriver.h"

#include <utility>

namespace wizard {

void CEngineLoaderDriver::Create(CHERFLoaderLib::CNotifySink sink, uint32_t nMessage)
{
    m_Loader.Create(std::move(sink), nMessage);
}

void CEngineLoaderDriver::SetPortNumbers(int32_t nPrimary, int32_t nSecondary, int32_t nThird)
{
    m_Loader.SetPortNumbers(nPrimary, nSecondary, nThird);
}

// The wizard sends the maker's monitor programs when they lie beside the
// package (the folder it starts in); otherwise the built-in ones.
int32_t CEngineLoaderDriver::Start(const char* pszPackagePath, uint32_t nOptions)
{
    m_Loader.SetMonitorFolder(CHERFLoaderLib::CHERFLoader::MonitorFolderBeside(pszPackagePath ? pszPackagePath : ""));
    return m_Loader.Start(pszPackagePath, nOptions);
}

int32_t CEngineLoaderDriver::GetResult() const
{
    return m_Loader.GetResult();
}

bool CEngineLoaderDriver::Cancel()
{
    return m_Loader.Cancel();
}

bool CEngineLoaderDriver::MayStop() const
{
    return m_Loader.MayStop();
}

CHERFLoaderLib::CRunReport CEngineLoaderDriver::GetRunReport() const
{
    return m_Loader.GetRunReport();
}

void CEngineLoaderDriver::Destroy()
{
    m_Loader.Destroy();
}

std::unique_ptr<CLoaderDriver> CEngineLoaderDriver::Make()
{
    return std::make_unique<CEngineLoaderDriver>();
}

}  // namespace wizard
