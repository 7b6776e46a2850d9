#include "receiver/VirtualReceiver.h"

#include "receiver/PtyPort.h"
#include "receiver/ReceiverCore.h"
#include "receiver/ReceiverReport.h"

#include <algorithm>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <unistd.h>

namespace {
constexpr int HANGUP_RECHECK_MS = 20;
constexpr int MAX_SLICE_MS = 100;
constexpr size_t OUT_QUEUE_MAX = 256 * 1024;
constexpr size_t ADAPTER_PACKET = 62;  // payload of a USB adapter's full-speed packet

std::chrono::nanoseconds ByteTime(uint32_t baud, int bits)
{
    if (baud == 0)
        return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(1000000000LL * bits / baud);
}
}  // namespace

// What travels on one port's line, with the time each item reaches the other
// end.
struct CRxPortLine {
    struct CIn {
        CPtyEvent m_Event;
        uint32_t m_nBaud = 0;
        CRxTime m_tDue;
    };
    std::deque<CIn> m_In;
    CRxTime m_tInLast;
    struct COut {
        uint8_t m_nByte = 0;
        CRxTime m_tDue;          // when it reaches the host
        uint32_t m_nBaud = 0;    // the receiver's rate when it left
    };
    std::deque<COut> m_Out;
    CRxTime m_tOutLast;
    std::vector<uint8_t> m_Arrived;  // reached the host, not yet taken by its side of the terminal
    CRxTime m_tRelease = CRxTime::max();  // latency timer: when the adapter hands m_Arrived over
    uint32_t m_nHostBaud = 19200;
    bool m_bHungUp = false;
    bool m_bWriteBlocked = false;
};

CVirtualReceiver::CVirtualReceiver(const CReceiverConfig& config) : m_Config(config) {}

CVirtualReceiver::~CVirtualReceiver()
{
    Stop();
}

bool CVirtualReceiver::Start(std::string& error)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_pCore)
        return error = "already running", false;
    auto core = std::make_unique<CReceiverCore>(m_Config);
    if (!ValidateReceiverConfig(m_Config, error))
        return false;
    for (int i = 0; i < m_Config.m_nPorts; ++i) {
        auto port = std::make_unique<CPtyPort>();
        if (!port->Open(error))
            return m_Ports.clear(), false;
        m_SlavePaths.push_back(port->SlavePath());
        m_Ports.push_back(std::move(port));
        m_Lines.push_back(std::make_unique<CRxPortLine>());
    }
    if (!core->Start(CRxClock::now(), error) || pipe2(m_WakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (error.empty())
            error = "cannot create the loop's wake-up pipe";
        m_Ports.clear();
        m_Lines.clear();
        m_SlavePaths.clear();
        return false;
    }
    m_pCore = std::move(core);
    m_bStop = false;
    m_Thread = std::thread([this] { Loop(); });
    return true;
}

void CVirtualReceiver::Stop()
{
    if (m_Thread.joinable()) {
        m_bStop = true;
        char b = 1;
        ssize_t ignored = write(m_WakePipe[1], &b, 1);
        (void)ignored;
        m_Thread.join();
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    for (auto& port : m_Ports)
        port->Close();
    for (int& fd : m_WakePipe) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}

std::vector<std::string> CVirtualReceiver::SlavePaths() const
{
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_SlavePaths;
}

bool CVirtualReceiver::IsUpgradeFinished() const
{
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_pCore && m_pCore->UpgradeFinished();
}

bool CVirtualReceiver::IsBricked() const
{
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_pCore && m_pCore->IsBricked();
}

std::string CVirtualReceiver::BrickedReason() const
{
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_pCore ? m_pCore->BrickedReason() : std::string();
}

std::string CVirtualReceiver::ReportJson() const
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (!m_pCore)
        return "{}\n";
    return BuildReceiverReport(*m_pCore, m_SlavePaths);
}

bool CVirtualReceiver::ReadMemory(uint32_t address, uint32_t length, std::vector<uint8_t>& out) const
{
    std::lock_guard<std::mutex> lock(m_Lock);
    out.assign(length, 0);
    return m_pCore && m_pCore->Memory().Read(address, out.data(), length);
}

bool CVirtualReceiver::WriteReport(const std::string& path, std::string& error) const
{
    std::string json = ReportJson();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << json;
    out.close();
    if (!out)
        return error = path + ": cannot write the report", false;
    return true;
}

void CVirtualReceiver::Loop()
{
    while (!m_bStop) {
        std::vector<pollfd> fds;
        std::vector<size_t> which;
        int timeout = 0;
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            Pump();
            timeout = PollTimeoutMs();
            fds.push_back({m_WakePipe[0], POLLIN, 0});
            for (size_t i = 0; i < m_Ports.size(); ++i) {
                if (m_Ports[i]->IsOpen() && !m_Lines[i]->m_bHungUp) {
                    fds.push_back({m_Ports[i]->Fd(), POLLIN, 0});
                    which.push_back(i);
                }
            }
        }
        if (poll(fds.data(), fds.size(), timeout) < 0)
            continue;
        std::lock_guard<std::mutex> lock(m_Lock);
        for (size_t k = 0; k < which.size(); ++k)
            if (fds[k + 1].revents)
                ReadPort(which[k]);
    }
}

void CVirtualReceiver::ReadPort(size_t index)
{
    CPtyPort& port = *m_Ports[index];
    CRxPortLine& line = *m_Lines[index];
    std::vector<CPtyEvent> events;
    if (!port.Read(events)) {
        line.m_bHungUp = true;
        m_pCore->NoteHostClosed(static_cast<int>(index));
    }
    CRxTime now = CRxClock::now();
    for (CPtyEvent& event : events) {
        CRxPortLine::CIn in;
        in.m_tDue = std::max(now, line.m_tInLast);
        if (event.m_eKind == CPtyEvent::PTY_SETTINGS) {
            line.m_nHostBaud = port.HostBaud();
            in.m_nBaud = line.m_nHostBaud;
        } else if (event.m_eKind == CPtyEvent::PTY_FLUSH && event.m_bOutput && m_Config.m_bPace) {
            // The host aborted what it had not yet put on the wire.
            line.m_In.erase(std::remove_if(line.m_In.begin(), line.m_In.end(),
                                           [](const CRxPortLine::CIn& i) {
                                               return i.m_Event.m_eKind == CPtyEvent::PTY_DATA;
                                           }),
                            line.m_In.end());
            in.m_tDue = now;
        } else if (event.m_eKind == CPtyEvent::PTY_DATA && m_Config.m_bPace) {
            auto step = ByteTime(line.m_nHostBaud, m_pCore->BitsPerByte());
            for (uint8_t b : event.m_Bytes) {
                CRxPortLine::CIn one;
                one.m_Event.m_Bytes.push_back(b);
                one.m_tDue = line.m_tInLast = std::max(now, line.m_tInLast) + step;
                line.m_In.push_back(std::move(one));
            }
            continue;
        }
        in.m_Event = std::move(event);
        line.m_In.push_back(std::move(in));
    }
}

void CVirtualReceiver::Pump()
{
    CRxTime now = CRxClock::now();
    for (size_t i = 0; i < m_Lines.size(); ++i)
        DeliverInbound(i, now);
    m_pCore->Tick(now);
    QueueOutgoing(now);
    for (size_t i = 0; i < m_Lines.size(); ++i)
        WriteDue(i, now);
}

void CVirtualReceiver::DeliverInbound(size_t index, CRxTime now)
{
    CRxPortLine& line = *m_Lines[index];
    int port = static_cast<int>(index);
    // A hung-up port comes back when the host opens it again.
    if (line.m_bHungUp && m_Ports[index]->IsOpen()) {
        pollfd p{m_Ports[index]->Fd(), POLLIN, 0};
        if (poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP)) {
            line.m_bHungUp = false;
            line.m_nHostBaud = m_Ports[index]->HostBaud();
            m_pCore->OnHostSettings(port, line.m_nHostBaud, now);
        }
    }
    while (!line.m_In.empty() && line.m_In.front().m_tDue <= now) {
        CRxPortLine::CIn in = std::move(line.m_In.front());
        line.m_In.pop_front();
        const CPtyEvent& e = in.m_Event;
        if (e.m_eKind == CPtyEvent::PTY_DATA)
            m_pCore->OnHostBytes(port, e.m_Bytes.data(), e.m_Bytes.size(), now);
        else if (e.m_eKind == CPtyEvent::PTY_FLUSH)
            m_pCore->OnHostFlush(port, e.m_bInput, e.m_bOutput, now);
        else
            m_pCore->OnHostSettings(port, in.m_nBaud, now);
    }
}

void CVirtualReceiver::QueueOutgoing(CRxTime now)
{
    for (CRxOutgoing& out : m_pCore->TakeOutgoing()) {
        if (out.m_nPort < 0 || out.m_nPort >= static_cast<int>(m_Lines.size()))
            continue;
        CRxPortLine& line = *m_Lines[out.m_nPort];
        if (out.m_bUnplug)
            m_Ports[out.m_nPort]->Close();
        if (out.m_bUnplug || out.m_bFlush) {
            line.m_Out.clear();
            line.m_Arrived.clear();
            continue;
        }
        // The bytes travel at the rate they were sent at, also when the
        // receiver has switched since (the acknowledgement of a speed change).
        auto step = m_Config.m_bPace ? ByteTime(out.m_nBaud, m_pCore->BitsPerByte())
                                     : std::chrono::nanoseconds(0);
        for (uint8_t b : out.m_Bytes) {
            line.m_tOutLast = std::max({line.m_tOutLast, out.m_tNotBefore, now}) + step;
            line.m_Out.push_back({b, line.m_tOutLast, out.m_nBaud});
        }
        while (line.m_Out.size() > OUT_QUEUE_MAX)
            line.m_Out.pop_front();
    }
}

void CVirtualReceiver::WriteDue(size_t index, CRxTime now)
{
    CRxPortLine& line = *m_Lines[index];
    // A byte is read by the host's UART at the rate the host has set when
    // the byte arrives: a host that switches before the receiver's last
    // bytes at the old rate are in gets noise, as on hardware.
    std::vector<uint8_t> run;
    uint32_t runBaud = 0;
    auto arrive = [&] {
        if (runBaud != line.m_nHostBaud)
            run = m_pCore->Garble(run, runBaud, line.m_nHostBaud);
        line.m_Arrived.insert(line.m_Arrived.end(), run.begin(), run.end());
        run.clear();
    };
    while (!line.m_Out.empty() && line.m_Out.front().m_tDue <= now) {
        if (line.m_Out.front().m_nBaud != runBaud && !run.empty())
            arrive();
        runBaud = line.m_Out.front().m_nBaud;
        run.push_back(line.m_Out.front().m_nByte);
        line.m_Out.pop_front();
    }
    if (!run.empty())
        arrive();
    if (line.m_Arrived.size() > OUT_QUEUE_MAX)
        line.m_Arrived.erase(line.m_Arrived.begin(),
                             line.m_Arrived.end() - static_cast<long>(OUT_QUEUE_MAX));
    line.m_bWriteBlocked = false;
    if (line.m_Arrived.empty()) {
        line.m_tRelease = CRxTime::max();
        return;
    }
    if (!AdapterReleases(line, now))
        return;
    // Bytes sent while no one holds the host side are lost, as on a line.
    const size_t due = line.m_Arrived.size();
    size_t n = line.m_bHungUp ? due : m_Ports[index]->Write(line.m_Arrived.data(), due);
    line.m_Arrived.erase(line.m_Arrived.begin(), line.m_Arrived.begin() + static_cast<long>(n));
    if (line.m_Arrived.empty())
        line.m_tRelease = CRxTime::max();
    line.m_bWriteBlocked = n < due;
}

// A USB adapter passes what it received to the host when its latency timer
// ticks, or at once when its 62-byte packet is full.
bool CVirtualReceiver::AdapterReleases(CRxPortLine& line, CRxTime now) const
{
    if (m_Config.m_nLatencyMs == 0 || line.m_Arrived.size() >= ADAPTER_PACKET)
        return true;
    if (line.m_tRelease == CRxTime::max()) {
        const auto tick = std::chrono::milliseconds(m_Config.m_nLatencyMs);
        const auto since = now.time_since_epoch();
        line.m_tRelease = CRxTime(since - since % tick + tick);
    }
    return now >= line.m_tRelease;
}

int CVirtualReceiver::PollTimeoutMs() const
{
    CRxTime now = CRxClock::now();
    CRxTime next = m_pCore->NextDeadline();
    bool recheck = false;
    for (const auto& line : m_Lines) {
        if (!line->m_In.empty())
            next = std::min(next, line->m_In.front().m_tDue);
        if (!line->m_Out.empty())
            next = std::min(next, line->m_Out.front().m_tDue);
        next = std::min(next, line->m_tRelease);
        recheck = recheck || line->m_bHungUp || line->m_bWriteBlocked;
    }
    int ms = MAX_SLICE_MS;
    if (next <= now)
        ms = 0;
    else if (next - now < std::chrono::milliseconds(MAX_SLICE_MS))
        ms = static_cast<int>(
            std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
    if (recheck)
        ms = std::min(ms, HANGUP_RECHECK_MS);
    return ms;
}
