// The progress page's view of the upgrade engine.
//
// CFinish drives one engine per run through this narrow interface so that the
// page logic can be exercised with a scripted engine; CEngineLoaderDriver is
// the real one and simply forwards to CHERFLoader. The page makes engines
// through a CLoaderFactory.
//
// Threading: every operation is called on the user-interface thread. The sink
// given to Create is called from the engine's threads and must only post.
// Destroy returns only when no engine thread runs any more, so after it the
// sink is never called again.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "engine/HERFLoader.h"

namespace wizard {

class CLoaderDriver {
public:
    virtual ~CLoaderDriver() = default;
    virtual void Create(CHERFLoaderLib::CNotifySink sink, uint32_t nMessage) = 0;
    virtual void SetPortNumbers(int32_t nPrimary, int32_t nSecondary, int32_t nThird) = 0;
    virtual int32_t Start(const char* pszPackagePath, uint32_t nOptions) = 0;
    virtual int32_t GetResult() const = 0;
    virtual bool Cancel() = 0;
    // Whether stopping the run now leaves the receiver unharmed (false while
    // the flash work goes on). The page asks this, not a notification that
    // may still be queued, before it lets the wizard close.
    virtual bool MayStop() const = 0;
    // What the run did; read when it has ended, or after a failed Start.
    virtual CHERFLoaderLib::CRunReport GetRunReport() const = 0;
    virtual void Destroy() = 0;
};

using CLoaderFactory = std::function<std::unique_ptr<CLoaderDriver>()>;

class CEngineLoaderDriver : public CLoaderDriver {
public:
    void Create(CHERFLoaderLib::CNotifySink sink, uint32_t nMessage) override;
    void SetPortNumbers(int32_t nPrimary, int32_t nSecondary, int32_t nThird) override;
    int32_t Start(const char* pszPackagePath, uint32_t nOptions) override;
    int32_t GetResult() const override;
    bool Cancel() override;
    bool MayStop() const override;
    CHERFLoaderLib::CRunReport GetRunReport() const override;
    void Destroy() override;

    // The factory the program uses: one real engine per run.
    static std::unique_ptr<CLoaderDriver> Make();

private:
    CHERFLoaderLib::CHERFLoader m_Loader;
};

}  // namespace wizard
