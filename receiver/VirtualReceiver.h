// The virtual receiver as a running device: one receiver model (CReceiverCore)
// behind one to three pseudo-terminal ports, driven by a loop thread of its
// own.
//
// The loop moves bytes between the ports and the model: what the host writes
// (and every flush and line-setting change it makes) goes to the model, and
// what the model sends goes out on its port. With pacing, bytes travel at
// the wire rate of their line (11 bits a byte for the 8O1 binary protocols,
// 10 for the 8N1 texts) in both directions, and a flush of the host's
// transmit queue discards what it had not yet put on the wire; without
// pacing they move at once.
//
// Used by `trailmark receiver` and by tests. Start and Stop are called from
// one controlling thread; SlavePaths, IsUpgradeFinished, IsBricked,
// BrickedReason, ReadMemory and the report may be
// called from any thread while the loop runs (they take the receiver's lock).
#pragma once

#include "receiver/ReceiverConfig.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CReceiverCore;
class CPtyPort;
struct CRxPortLine;

class CVirtualReceiver {
public:
    explicit CVirtualReceiver(const CReceiverConfig& config);
    ~CVirtualReceiver();
    CVirtualReceiver(const CVirtualReceiver&) = delete;
    CVirtualReceiver& operator=(const CVirtualReceiver&) = delete;

    // Creates the ports, builds the model and starts the loop; false with a
    // one-line reason.
    bool Start(std::string& error);
    // Ends the loop (bounded by one loop slice) and closes the ports.
    void Stop();

    std::vector<std::string> SlavePaths() const;
    // --exit-after-upgrade: the upgrade record came, the boot loader was
    // contacted again afterwards, and then left (0x81, 0x82, 0x83) or the
    // host closed the primary port.
    bool IsUpgradeFinished() const;
    // Whether the receiver is dead for good (its boot loader was not whole
    // when the flash monitor ended or power went, or it entered a boot
    // region without one), and the one-line reason; empty when it is not.
    bool IsBricked() const;
    std::string BrickedReason() const;
    // The report as JSON (see ReceiverReport.h).
    std::string ReportJson() const;
    bool WriteReport(const std::string& path, std::string& error) const;
    // Copies `length` bytes of the receiver's RAM, monitor area or flash
    // from `address`; false when the range is not all mapped.
    bool ReadMemory(uint32_t address, uint32_t length, std::vector<uint8_t>& out) const;

private:
    void Loop();
    void Pump();
    void DeliverInbound(size_t index, std::chrono::steady_clock::time_point now);
    void QueueOutgoing(std::chrono::steady_clock::time_point now);
    void WriteDue(size_t index, std::chrono::steady_clock::time_point now);
    int PollTimeoutMs() const;
    bool AdapterReleases(CRxPortLine& line, std::chrono::steady_clock::time_point now) const;
    void ReadPort(size_t index);

    CReceiverConfig m_Config;
    mutable std::mutex m_Lock;
    std::unique_ptr<CReceiverCore> m_pCore;
    std::vector<std::unique_ptr<CPtyPort>> m_Ports;
    std::vector<std::unique_ptr<CRxPortLine>> m_Lines;
    std::vector<std::string> m_SlavePaths;
    std::thread m_Thread;
    std::atomic<bool> m_bStop{false};
    int m_WakePipe[2] = {-1, -1};
};
