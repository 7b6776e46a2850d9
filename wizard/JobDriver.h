// The progress page's view of the upgrade job.
//
// CProgressFlow drives one job per activation through this narrow interface
// so that the page logic can be exercised with a scripted job;
// CEngineJobDriver is the real one: it runs one CUpgradeJob with the package
// read once (by the connection page), which makes the runs and their retry. The page makes drivers
// through a CJobFactory.
//
// Threading: every operation is called on the user-interface thread. The sink
// given to Start is called from the job's thread and must only post. Stop
// returns only when the job's thread has ended, so after it the sink is never
// called again.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "engine/UpgradeJob.h"

namespace wizard {

class CJobDriver {
public:
    virtual ~CJobDriver() = default;
    // Starts the job on the receiver at `port` with pPackage, the package
    // at strPackagePath that the connection page read and proved; when it is
    // null the package is read here. False, with the reason in strError,
    // when nothing was started (the package cannot be used, no thread); the
    // sink then hears nothing.
    virtual bool Start(const std::string& strPackagePath, std::shared_ptr<const CPackageImage> pPackage,
                       const CHERFLoaderLib::CPortId& port, const CHERFLoaderLib::CJobSettings& settings,
                       CHERFLoaderLib::CJobSink sink, std::string& strError) = 0;
    // As CUpgradeJob::Cancel: accepted (true) while no flash work has begun.
    virtual bool Cancel() = 0;
    // Whether stopping the job now leaves the receiver unharmed (false from
    // the first flash work until the job's end). The page asks this, not an
    // event that may still be queued, before it lets the wizard close.
    virtual bool MayStop() const = 0;
    // Cancels and waits for the job's thread; nothing when none was started.
    virtual void Stop() = 0;
    // What the job came to; complete once its JobEnds has been sent.
    virtual CHERFLoaderLib::CJobReport Report() const = 0;
};

using CJobFactory = std::function<std::unique_ptr<CJobDriver>()>;

class CEngineJobDriver : public CJobDriver {
public:
    bool Start(const std::string& strPackagePath, std::shared_ptr<const CPackageImage> pPackage,
               const CHERFLoaderLib::CPortId& port, const CHERFLoaderLib::CJobSettings& settings,
               CHERFLoaderLib::CJobSink sink, std::string& strError) override;
    bool Cancel() override;
    bool MayStop() const override;
    void Stop() override;
    CHERFLoaderLib::CJobReport Report() const override;

    // The factory the program uses.
    static std::unique_ptr<CJobDriver> Make();

private:
    std::unique_ptr<CHERFLoaderLib::CUpgradeJob> m_pJob;
};

}  // namespace wizard
