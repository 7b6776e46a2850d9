// Runs the upgrade engine against an in-process virtual receiver and records
// every notification, for the end-to-end engine tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "engine/HERFLoader.h"
#include "receiver/VirtualReceiver.h"

namespace harness {

using namespace CHERFLoaderLib;

inline std::string SamplePath()
{
    return std::string(TRAILMARK_BINARY_DIR) + "/Corvid_FW_v1.82-Boot.q";
}

inline std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class CRecorder {
public:
    CNotifySink Sink()
    {
        return [this](const CLoaderNotification& n) {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Items.push_back(n);
            if (n.nCode == HLN_RUN && n.nPayload == RUN_FINISHED)
                m_bFinished = true;
            m_Changed.notify_all();
        };
    }
    bool WaitFinished(int seconds)
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        return m_Changed.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_bFinished; });
    }
    // Waits until a notification with this code (and payload, when given) came.
    bool WaitFor(int32_t code, int64_t payload, int seconds)
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        return m_Changed.wait_for(lock, std::chrono::seconds(seconds), [&] {
            for (const CLoaderNotification& n : m_Items)
                if (n.nCode == code && n.nPayload == payload)
                    return true;
            return false;
        });
    }
    std::vector<CLoaderNotification> Items()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Items;
    }
    int Count(int32_t code, int64_t payload)
    {
        int count = 0;
        for (const CLoaderNotification& n : Items())
            count += n.nCode == code && n.nPayload == payload;
        return count;
    }
    bool HasText(const std::string& text)
    {
        for (const CLoaderNotification& n : Items())
            if (n.nCode == HLN_TEXT && n.strText == text)
                return true;
        return false;
    }

private:
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::vector<CLoaderNotification> m_Items;
    bool m_bFinished = false;
};

// One receiver on pseudo-terminals, whose ports an engine is given by their
// device paths.
class CReceiverUnderTest {
public:
    explicit CReceiverUnderTest(const CReceiverConfig& config) : m_Receiver(config) {}
    ~CReceiverUnderTest() { m_Receiver.Stop(); }
    bool Start(std::string& error)
    {
        if (!m_Receiver.Start(error))
            return false;
        m_Paths = m_Receiver.SlavePaths();
        m_Paths.resize(3);
        return true;
    }
    // Points the engine's three ports at the receiver's (an unused one at
    // COM2 and COM4, as the wizard gives them).
    void Attach(CHERFLoader& loader) const
    {
        CPortId ports[3] = {CPortId(), CPortId::Com(PORT_SECONDARY_DEFAULT), CPortId::Com(PORT_THIRD_DEFAULT)};
        for (size_t i = 0; i < 3; ++i)
            if (!m_Paths[i].empty())
                ports[i] = CPortId::Device(m_Paths[i]);
        loader.SetPorts(CReceiverPorts(ports[0], ports[1], ports[2]));
    }
    CVirtualReceiver& Receiver() { return m_Receiver; }

private:
    CVirtualReceiver m_Receiver;
    std::vector<std::string> m_Paths;
};

struct CRunResult {
    int32_t nStart = -1;
    int32_t nResult = -1;
    bool bFinished = false;
    std::string strError;   // why the receiver did not start
    std::string strReason;  // the run report's reason for a failed run
};

inline CRunResult RunUpgrade(CReceiverUnderTest& receiver, CRecorder& recorder, uint32_t options,
                             const std::string& package = SamplePath(), int timeoutSeconds = 120,
                             int32_t flashCheck = FLASH_CHECK_SUM)
{
    CRunResult result;
    CHERFLoader loader;
    loader.Create(recorder.Sink(), 0x83E8);
    receiver.Attach(loader);
    loader.SetFlashCheck(flashCheck);
    result.nStart = loader.Start(package.c_str(), options);
    if (result.nStart != 0)
        return result;
    result.bFinished = recorder.WaitFinished(timeoutSeconds);
    result.nResult = loader.GetResult();
    result.strReason = loader.GetRunReport().strError;
    loader.Destroy();
    return result;
}

// Starts the receiver and runs one upgrade against it; a receiver that does
// not start leaves bFinished false with the reason in strError.
inline CRunResult StartAndUpgrade(CReceiverUnderTest& receiver, CRecorder& recorder, uint32_t options)
{
    CRunResult result;
    if (!receiver.Start(result.strError))
        return result;
    return RunUpgrade(receiver, recorder, options);
}

}  // namespace harness
