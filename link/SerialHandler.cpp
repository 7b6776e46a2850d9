// The serial handler: a receive ring filled by a reader thread and a write
// queue emptied in order by a writer thread, over a platform serial device.
#include "link/SerialHandler.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "link/ReceiverLines.h"
#include "platform/DebugOut.h"
#include "platform/Event.h"
#include "platform/PortNames.h"
#include "platform/SerialDevice.h"
#include "platform/Thread.h"

namespace {

// Unsent data the queue may hold: eight 4 KiB pages. A producer that runs
// ahead of the line gets a refusal instead of growing memory.
constexpr size_t SERIAL_QUEUE_LIMIT = 8 * 4096;
constexpr int SERIAL_READ_CHUNK = 512;
constexpr int SERIAL_EMPTY_READS_GONE = 3;  // empty reads in a row after "ready" that mean gone
// Both threads wake at least this often, also when idle.
constexpr int SERIAL_IDLE_WAIT_MS = 500;
constexpr int SERIAL_STOP_WAIT_MS = 20000;

// One queued request: bytes to send, or a line break of m_nBreakMs.
struct CWriteRequest {
    std::vector<uint8_t> m_Data;
    bool m_bBreak = false;
    uint32_t m_nBreakMs = 0;
    uint64_t m_nSeq = 0;
};

// Why a device did not open, in words a person can act on.
std::string OpenErrorText(const std::string& label, const platform::CSerialDevice& device)
{
    switch (device.LastError()) {
    case platform::ESerialError::NotFound: return label + ": no such serial device";
    case platform::ESerialError::InUse: return label + " is in use by another program";
    case platform::ESerialError::PermissionDenied:
        return label + ": permission denied: add your user to the dialout group";
    case platform::ESerialError::BadSetting: return label + ": not a serial device";
    default: return label + ": " + device.LastErrorText();
    }
}

}  // namespace

struct CSerialHandler::Impl {
    // Line settings, as last asked for.
    platform::CLineSettings m_Settings = LINE_PACKET;
    std::string m_strDeviceName;
    std::string m_strLastError;

    // Open, Close, Configure and Purge take this lock around the device.
    mutable std::mutex m_csControl;
    std::atomic<bool> m_bOpen{false};
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bDeviceGone{false};
    platform::CSerialDevice m_Device;
    platform::CWakeSignal m_StopSignal;  // raised at Close: wakes device waits
    platform::CThread m_Reader;
    platform::CThread m_Writer;

    // Receive ring.
    std::mutex m_csRx;
    uint8_t m_RxRing[RX_RING_SIZE] = {};
    int m_nRxRead = 0;
    int m_nRxWrite = 0;
    int m_nRxCount = 0;
    platform::CEvent m_RxEvent{false};

    // Write queue. Only the writer removes requests; it reads the front one
    // outside the lock, which is safe because appends never move elements.
    std::mutex m_csQueue;
    std::condition_variable m_QueueDone;
    std::deque<CWriteRequest> m_Queue;
    bool m_bQueueOpen = false;
    size_t m_nQueuedBytes = 0;
    uint64_t m_nNextSeq = 0;
    uint64_t m_nDoneSeq = 0;
    platform::CEvent m_QueueEvent{false};

    bool StartThreads();
    bool StopThreads(int timeoutMs);
    void ReaderLoop();
    void WriterLoop();
    void StoreReceived(const uint8_t* bytes, int count);
    void WriteNow(const std::vector<uint8_t>& data);
    void Finish(const CWriteRequest& request);
    bool Enqueue(CWriteRequest&& request, uint64_t* seq);
    void ResetRing();
};

void CSerialHandler::Impl::ResetRing()
{
    std::lock_guard<std::mutex> lock(m_csRx);
    m_nRxRead = m_nRxWrite = m_nRxCount = 0;
}

// ---- threads ----

bool CSerialHandler::Impl::StartThreads()
{
    if (!m_StopSignal.IsValid())
        return false;  // without it Close could not wake the threads
    {
        std::lock_guard<std::mutex> lock(m_csQueue);
        m_Queue.clear();
        m_nQueuedBytes = 0;
        m_nDoneSeq = m_nNextSeq;
        m_bQueueOpen = true;
    }
    m_bStop = false;
    m_StopSignal.Clear();
    m_QueueEvent.Reset();
    if (!m_Reader.Start([this] { ReaderLoop(); }))
        return false;
    if (!m_Writer.Start([this] { WriterLoop(); })) {
        StopThreads(SERIAL_STOP_WAIT_MS);
        std::lock_guard<std::mutex> lock(m_csQueue);
        m_bQueueOpen = false;
        return false;
    }
    return true;
}

bool CSerialHandler::Impl::StopThreads(int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    m_bStop = true;
    m_StopSignal.Raise();
    m_QueueEvent.Set();
    bool readerEnded = m_Reader.Join(timeoutMs);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    bool writerEnded = m_Writer.Join(static_cast<int>(std::max<long long>(left, 0)));
    return readerEnded && writerEnded;
}

void CSerialHandler::Impl::ReaderLoop()
{
    uint8_t buffer[SERIAL_READ_CHUNK];
    // A purge can take away bytes between the readiness report and the read,
    // so one empty read proves nothing; a device that is gone reports ready
    // and gives nothing every time.
    int emptyReads = 0;
    while (!m_bStop) {
        platform::EWaitResult ready = m_Device.WaitReadable(m_StopSignal, SERIAL_IDLE_WAIT_MS);
        if (ready == platform::EWaitResult::Woken)
            break;
        if (ready == platform::EWaitResult::Timeout)
            continue;
        int count = ready == platform::EWaitResult::Ready ? m_Device.Read(buffer, sizeof buffer) : -1;
        if (count > 0) {
            emptyReads = 0;
            StoreReceived(buffer, count);
        } else if (count < 0 || ++emptyReads >= SERIAL_EMPTY_READS_GONE) {
            // Hang-up, an error, or nothing to read time after time although
            // the device said there was: the device went away. Reading on
            // would only spin.
            m_bDeviceGone = true;
            break;
        }
    }
    while (!m_bStop)
        m_StopSignal.Sleep(SERIAL_IDLE_WAIT_MS);
}

void CSerialHandler::Impl::StoreReceived(const uint8_t* bytes, int count)
{
    {
        std::lock_guard<std::mutex> lock(m_csRx);
        // Bytes that do not fit are dropped: the protocols' time-outs and
        // retries deal with the loss.
        for (int i = 0; i < count && m_nRxCount < RX_RING_SIZE; ++i) {
            m_RxRing[m_nRxWrite] = bytes[i];
            m_nRxWrite = (m_nRxWrite + 1) % RX_RING_SIZE;
            ++m_nRxCount;
        }
    }
    m_RxEvent.Set();
}

void CSerialHandler::Impl::WriterLoop()
{
    while (!m_bStop) {
        CWriteRequest* request = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_csQueue);
            if (!m_Queue.empty())
                request = &m_Queue.front();
        }
        if (request == nullptr) {
            m_QueueEvent.Wait(SERIAL_IDLE_WAIT_MS);
            continue;
        }
        if (m_bDeviceGone) {
            // Nothing reaches a device that is gone; drop the request.
        } else if (request->m_bBreak) {
            m_Device.SendBreak(request->m_nBreakMs, m_StopSignal);
        } else {
            WriteNow(request->m_Data);
        }
        Finish(*request);
    }
    // Requests not sent by now are dropped; waiting SendBreak calls return.
    std::lock_guard<std::mutex> lock(m_csQueue);
    m_bQueueOpen = false;
    m_Queue.clear();
    m_nQueuedBytes = 0;
    m_QueueDone.notify_all();
}

void CSerialHandler::Impl::WriteNow(const std::vector<uint8_t>& data)
{
    size_t sent = 0;
    while (sent < data.size() && !m_bStop) {
        int n = m_Device.Write(data.data() + sent, static_cast<int>(data.size() - sent));
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0) {
            m_bDeviceGone = true;
            return;
        }
        // The device takes nothing now: wait until it does, or until Close
        // abandons the write.
        platform::EWaitResult ready = m_Device.WaitWritable(m_StopSignal, SERIAL_IDLE_WAIT_MS);
        if (ready == platform::EWaitResult::Woken)
            return;
        if (ready == platform::EWaitResult::Gone) {
            m_bDeviceGone = true;
            return;
        }
    }
}

void CSerialHandler::Impl::Finish(const CWriteRequest& request)
{
    std::lock_guard<std::mutex> lock(m_csQueue);
    m_nQueuedBytes -= request.m_Data.size();
    m_nDoneSeq = request.m_nSeq;
    m_Queue.pop_front();
    m_QueueDone.notify_all();
}

bool CSerialHandler::Impl::Enqueue(CWriteRequest&& request, uint64_t* seq)
{
    {
        std::lock_guard<std::mutex> lock(m_csQueue);
        if (!m_bQueueOpen || request.m_Data.size() > SERIAL_QUEUE_LIMIT - m_nQueuedBytes)
            return false;
        request.m_nSeq = ++m_nNextSeq;
        if (seq != nullptr)
            *seq = request.m_nSeq;
        m_nQueuedBytes += request.m_Data.size();
        m_Queue.push_back(std::move(request));
    }
    m_QueueEvent.Set();
    return true;
}

// ---- public operations ----

CSerialHandler::CSerialHandler() : m_pImpl(new Impl) {}

CSerialHandler::~CSerialHandler()
{
    Close();
    delete m_pImpl;
}

bool CSerialHandler::Open(const platform::CPortId& port, const platform::CLineSettings& settings)
{
    Impl& d = *m_pImpl;
    std::lock_guard<std::mutex> lock(d.m_csControl);
    if (d.m_bOpen)
        return true;
    d.m_strLastError.clear();
    if (port.IsEmpty()) {
        d.m_strDeviceName.clear();
        d.m_strLastError = "no serial port was named";
        return false;
    }
    std::string label = port.Name();
    const std::string path =
        port.IsDevicePath() ? port.DevicePath() : platform::ResolvePortDevice(nullptr, port.Number());
    d.m_strDeviceName = path;
    if (path.empty()) {
        d.m_strLastError = label + ": no such serial device";
        return false;
    }
    // A path is named as it was given; a number also says which device it
    // stood for.
    if (!port.IsDevicePath())
        label += " (" + path + ")";
    if (d.m_Reader.IsRunning() || d.m_Writer.IsRunning()) {
        // An earlier Close gave up waiting for them; they may still use the
        // old device, which therefore stays as it is.
        d.m_strLastError = label + ": the port's earlier threads have not ended";
        return false;
    }
    if (!d.m_Device.Open(path)) {
        d.m_strLastError = OpenErrorText(label, d.m_Device);
        return false;
    }
    d.m_Device.Purge(true, true);
    d.m_Settings = settings;
    if (!d.m_Device.Configure(settings)) {
        d.m_strLastError = label + ": the device refused the line settings (" +
                           std::to_string(settings.nBaudRate) + " baud, " + std::to_string(settings.nDataBits) +
                           " data bits)";
        d.m_Device.Close();
        return false;
    }
    d.m_Device.RequestLowLatency();
    d.ResetRing();
    d.m_RxEvent.Reset();
    d.m_bDeviceGone = false;
    if (!d.StartThreads()) {
        d.m_strLastError = label + ": could not start the port's threads";
        d.m_Device.Close();
        return false;
    }
    d.m_bOpen = true;
    return true;
}

bool CSerialHandler::Configure(const platform::CLineSettings& settings)
{
    Impl& d = *m_pImpl;
    std::lock_guard<std::mutex> lock(d.m_csControl);
    d.m_Settings = settings;
    if (!d.m_bOpen)
        return false;
    return d.m_Device.Configure(settings);
}

bool CSerialHandler::Close()
{
    Impl& d = *m_pImpl;
    std::lock_guard<std::mutex> lock(d.m_csControl);
    if (!d.m_bOpen)
        return false;
    // Refuse new requests first, then end the threads.
    d.m_bOpen = false;
    bool ended = d.StopThreads(SERIAL_STOP_WAIT_MS);
    // A thread that did not end may still use the device, so the device
    // stays open (leaked) rather than closed under it.
    if (ended) {
        d.m_Device.Purge(true, true);
        d.m_Device.SetRts(false);
        d.m_Device.Close();
    }
    // Wake a caller waiting for data: it sees the port closed.
    d.m_RxEvent.Set();
    return true;
}

bool CSerialHandler::Write(const uint8_t* bytes, int length)
{
    Impl& d = *m_pImpl;
    // Nothing reaches a device that is gone: the write fails at once, so that
    // the protocols above end their exchange instead of waiting it out.
    if (!d.m_bOpen || d.m_bDeviceGone || length < 0 || (bytes == nullptr && length > 0))
        return false;
    if (length == 0)
        return true;
    CWriteRequest request;
    request.m_Data.assign(bytes, bytes + length);
    return d.Enqueue(std::move(request), nullptr);
}

bool CSerialHandler::SendBreak(uint32_t durationMs)
{
    Impl& d = *m_pImpl;
    if (!d.m_bOpen)
        return false;
    platform::DebugOut("CSerialHandler::Set Break\r\n");
    CWriteRequest request;
    request.m_bBreak = true;
    request.m_nBreakMs = durationMs;
    uint64_t seq = 0;
    bool done = d.Enqueue(std::move(request), &seq);
    if (done) {
        // Requests run in order, so the break being done means everything
        // queued before it is done too.
        std::unique_lock<std::mutex> lock(d.m_csQueue);
        d.m_QueueDone.wait(lock, [&] { return d.m_nDoneSeq >= seq || !d.m_bQueueOpen; });
        done = d.m_nDoneSeq >= seq;
    }
    platform::DebugOut("CSerialHandler::Clear break\r\n");
    return done;
}

bool CSerialHandler::Purge(uint32_t flags)
{
    Impl& d = *m_pImpl;
    d.ResetRing();
    std::lock_guard<std::mutex> lock(d.m_csControl);
    if (!d.m_bOpen)
        return false;
    bool input = (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
    bool output = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
    return d.m_Device.Purge(input, output);
}

int CSerialHandler::GetRxCount()
{
    std::lock_guard<std::mutex> lock(m_pImpl->m_csRx);
    return m_pImpl->m_nRxCount;
}

int CSerialHandler::WaitForRx(int timeoutMs)
{
    Impl& d = *m_pImpl;
    if (!d.m_bOpen)
        return -1;
    bool signalled = d.m_RxEvent.Wait(timeoutMs);
    if (!d.m_bOpen)
        return -1;
    return signalled ? GetRxCount() : 0;
}

uint8_t CSerialHandler::ReadByte()
{
    Impl& d = *m_pImpl;
    std::lock_guard<std::mutex> lock(d.m_csRx);
    if (d.m_nRxCount == 0)
        return 0xFF;
    uint8_t value = d.m_RxRing[d.m_nRxRead];
    d.m_nRxRead = (d.m_nRxRead + 1) % RX_RING_SIZE;
    if (--d.m_nRxCount == 0)
        d.m_nRxRead = d.m_nRxWrite = 0;
    return value;
}

bool CSerialHandler::ReadBlock(uint8_t* destination, int maximum)
{
    Impl& d = *m_pImpl;
    if (destination == nullptr || maximum <= 0)
        return true;
    std::lock_guard<std::mutex> lock(d.m_csRx);
    int copied = 0;
    while (d.m_nRxCount > 0 && copied < maximum) {
        // Copy up to the ring's end or the count, whichever comes first.
        int run = std::min({maximum - copied, d.m_nRxCount, RX_RING_SIZE - d.m_nRxRead});
        std::memcpy(destination + copied, d.m_RxRing + d.m_nRxRead, static_cast<size_t>(run));
        copied += run;
        d.m_nRxRead = (d.m_nRxRead + run) % RX_RING_SIZE;
        d.m_nRxCount -= run;
    }
    if (d.m_nRxCount == 0)
        d.m_nRxRead = d.m_nRxWrite = 0;
    return true;
}

bool CSerialHandler::IsOpen() const
{
    return m_pImpl->m_bOpen;
}

bool CSerialHandler::IsDeviceGone() const
{
    return m_pImpl->m_bDeviceGone;
}

std::string CSerialHandler::GetLastError() const
{
    std::lock_guard<std::mutex> lock(m_pImpl->m_csControl);
    return m_pImpl->m_strLastError;
}

std::string CSerialHandler::GetDeviceName() const
{
    std::lock_guard<std::mutex> lock(m_pImpl->m_csControl);
    return m_pImpl->m_strDeviceName;
}

uint32_t CSerialHandler::GetBaudRate() const
{
    std::lock_guard<std::mutex> lock(m_pImpl->m_csControl);
    return m_pImpl->m_Settings.nBaudRate;
}
