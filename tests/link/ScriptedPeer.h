// A scripted receiver on the master side of a pseudo-terminal, for the
// protocol tests: the slave side is handed to a CSerialHandler by its path,
// the test thread (or a peer thread) reads what the host sent and answers.
// Has its own small packet encoder and decoder so that a fault in the host's
// packet code cannot cancel itself out.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "link/ReceiverLines.h"
#include "link/SerialHandler.h"
#include "platform/PortNames.h"

using Bytes = std::vector<uint8_t>;

struct CPeerPacket {
    int nId = -1;
    Bytes payload;
};

class CPtyPeer {
public:
    // With packet mode on, the peer also sees every flush of the slave side,
    // which is how a line break shows on a pseudo-terminal.
    explicit CPtyPeer(bool packetMode = false) : m_bPacketMode(packetMode)
    {
        m_nMaster = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_nMaster < 0 || grantpt(m_nMaster) != 0 || unlockpt(m_nMaster) != 0)
            return;
        const char* name = ptsname(m_nMaster);
        if (name != nullptr)
            m_strSlave = name;
        termios tio{};
        tcgetattr(m_nMaster, &tio);
        cfmakeraw(&tio);
        tcsetattr(m_nMaster, TCSANOW, &tio);
        int on = packetMode ? 1 : 0;
        ioctl(m_nMaster, TIOCPKT, &on);
    }
    ~CPtyPeer()
    {
        if (m_nMaster >= 0)
            close(m_nMaster);
    }
    CPtyPeer(const CPtyPeer&) = delete;
    CPtyPeer& operator=(const CPtyPeer&) = delete;

    bool IsReady() const { return m_nMaster >= 0 && !m_strSlave.empty(); }
    const std::string& SlavePath() const { return m_strSlave; }

    // Opens the handler on the slave.
    bool OpenHandler(CSerialHandler& handler, const platform::CLineSettings& settings = LINE_PACKET)
    {
        return handler.Open(platform::CPortId::Device(m_strSlave), settings);
    }

    void Send(const Bytes& bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(m_nMaster, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                return;
            done += static_cast<size_t>(n);
        }
    }

    // Reads whatever comes within the time-out, up to `max` bytes; stops
    // early once `max` bytes are in. Flush events are counted, not returned.
    Bytes Read(size_t max, int timeoutMs)
    {
        Bytes out;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        TakePending(out, max);
        while (out.size() < max) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
            if (left <= 0 || !Fill(left))
                break;
            TakePending(out, max);
        }
        return out;
    }

    // The bytes of the next read that brings any, at most `max`; empty on
    // time-out.
    Bytes ReadChunk(size_t max, int timeoutMs)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (m_pending.empty()) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
            if (left <= 0 || !Fill(left))
                break;
        }
        Bytes out;
        TakePending(out, max);
        return out;
    }

    // The next well-formed packet (bytes before a start byte are skipped);
    // nId stays -1 on time-out or a malformed packet.
    CPeerPacket ReadPacket(int timeoutMs = 2000)
    {
        CPeerPacket packet;
        Bytes b;
        do {
            b = Read(1, timeoutMs);
        } while (!b.empty() && b[0] != 0x01);
        if (b.empty())
            return packet;
        Bytes head = Read(3, timeoutMs);
        if (head.size() != 3)
            return packet;
        size_t length = static_cast<size_t>(head[1] << 8 | head[2]);
        Bytes rest = Read(length + 3, timeoutMs);
        if (rest.size() != length + 3 || rest[length + 2] != 0x04)
            return packet;
        uint32_t sum = 0;
        for (uint8_t v : head)
            sum += v;
        for (size_t i = 0; i < length; ++i)
            sum += rest[i];
        if ((sum & 0xFFFF) != static_cast<uint32_t>(rest[length] << 8 | rest[length + 1]))
            return packet;
        packet.nId = head[0];
        packet.payload.assign(rest.begin(), rest.begin() + static_cast<long>(length));
        return packet;
    }

    static Bytes Encode(uint8_t id, const Bytes& payload)
    {
        Bytes out{0x01, id, static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
        out.insert(out.end(), payload.begin(), payload.end());
        uint32_t sum = 0;
        for (size_t i = 1; i < out.size(); ++i)
            sum += out[i];
        out.push_back(static_cast<uint8_t>(sum >> 8));
        out.push_back(static_cast<uint8_t>(sum));
        out.push_back(0x04);
        return out;
    }

    void SendPacket(uint8_t id, const Bytes& payload) { Send(Encode(id, payload)); }

    // Waits for a flush event of the slave side (packet mode only).
    bool WaitForFlush(int timeoutMs)
    {
        int seen = m_nFlushes;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (m_nFlushes == seen) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
            if (left <= 0 || !Fill(left))
                return false;
        }
        return true;
    }
    // Forgets everything the host has sent or flushed so far (the flush of
    // the handler's Open, for one).
    void Settle(int quietMs = 30)
    {
        while (Fill(quietMs)) {
        }
        m_pending.clear();
        m_nFlushes = 0;
    }
    int FlushCount() const { return m_nFlushes; }
    const std::vector<std::chrono::steady_clock::time_point>& DataTimes() const { return m_dataTimes; }

private:
    void TakePending(Bytes& out, size_t max)
    {
        while (out.size() < max && !m_pending.empty()) {
            out.push_back(m_pending.front());
            m_pending.pop_front();
        }
    }

    // One read from the master into the pending bytes; false on time-out.
    bool Fill(int timeoutMs)
    {
        pollfd pfd{m_nMaster, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0 || !(pfd.revents & POLLIN))
            return false;
        uint8_t buffer[4096];
        ssize_t n = read(m_nMaster, buffer, sizeof(buffer));
        if (n <= 0)
            return false;
        if (!m_bPacketMode) {
            m_pending.insert(m_pending.end(), buffer, buffer + n);
            m_dataTimes.push_back(std::chrono::steady_clock::now());
            return true;
        }
        if (buffer[0] == TIOCPKT_DATA) {
            m_pending.insert(m_pending.end(), buffer + 1, buffer + n);
            m_dataTimes.push_back(std::chrono::steady_clock::now());
        } else if (buffer[0] & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)) {
            ++m_nFlushes;
        }
        return true;
    }

    int m_nMaster = -1;
    bool m_bPacketMode = false;
    std::string m_strSlave;
    std::deque<uint8_t> m_pending;
    int m_nFlushes = 0;
    std::vector<std::chrono::steady_clock::time_point> m_dataTimes;
};

// Runs a peer script on its own thread and joins it when the test body's
// scope ends, before the locals the script refers to are destroyed.
class CPeerThread {
public:
    template <typename F>
    explicit CPeerThread(F script) : m_thread(script)
    {
    }
    ~CPeerThread() { Join(); }
    CPeerThread(const CPeerThread&) = delete;
    CPeerThread& operator=(const CPeerThread&) = delete;
    void Join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::thread m_thread;
};

inline Bytes Le32(uint32_t v)
{
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

inline Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline long MsSince(std::chrono::steady_clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}
