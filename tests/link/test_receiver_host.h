// A scripted host for the virtual receiver's tests: it opens a receiver's
// pseudo-terminal slave raw, sets its rate, flushes and "breaks" the way the
// platform layer does on a pseudo-terminal, writes raw bytes and reads what
// the receiver answers, byte for byte or as packets.
#pragma once

#include "receiver/FrameCodec.h"
#include "receiver/VirtualReceiver.h"
#include "transfer/MonitorImages.h"

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

inline speed_t TestSpeed(uint32_t baud)
{
    switch (baud) {
    case 2400: return B2400;
    case 9600: return B9600;
    case 38400: return B38400;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B19200;
    }
}

// The replies the host takes, each up to its longest payload: the same
// figures as the host's tables, written down here apart from the receiver's
// own, so that a reply longer than the host takes never arrives in a test
// either.
inline constexpr CRxPacketLimit HOST_REPLY_ROWS[] = {
    {0x11, 5}, {0x13, 1},  {0x15, 38}, {0x16, 72}, {0x17, 24}, {0x18, 1},  {0x19, 4},   {0xA1, 5},
    {0xA3, 1}, {0xA4, 1031}, {0xA5, 38}, {0xA6, 20}, {0xA8, 64}, {0xA9, 1}};
inline constexpr CRxPacketTable HOST_REPLIES{HOST_REPLY_ROWS, std::size(HOST_REPLY_ROWS)};

class CRawHost {
public:
    explicit CRawHost(const std::string& path, uint32_t baud = 19200)
    {
        m_nFd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_nFd >= 0)
            SetBaud(baud);
    }
    ~CRawHost() { Close(); }
    void Close()
    {
        if (m_nFd >= 0)
            close(m_nFd);
        m_nFd = -1;
    }
    bool IsOpen() const { return m_nFd >= 0; }
    int Fd() const { return m_nFd; }

    void SetBaud(uint32_t baud)
    {
        termios tio{};
        tcgetattr(m_nFd, &tio);
        cfmakeraw(&tio);
        cfsetispeed(&tio, TestSpeed(baud));
        cfsetospeed(&tio, TestSpeed(baud));
        tcsetattr(m_nFd, TCSANOW, &tio);
    }
    void Purge() { tcflush(m_nFd, TCIOFLUSH); }
    // What the platform layer does for a break on a pseudo-terminal.
    void Break() { tcflush(m_nFd, TCIOFLUSH); }

    void Write(const std::vector<uint8_t>& bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(m_nFd, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void Write(const std::string& text) { Write(std::vector<uint8_t>(text.begin(), text.end())); }
    void SendPacket(uint8_t id, const std::vector<uint8_t>& payload)
    {
        Write(RxEncodePacket(id, payload));
    }
    void Command(uint8_t packetId, uint8_t code, uint32_t a = 0, uint32_t b = 0, uint32_t c = 0)
    {
        std::vector<uint8_t> p(packetId == 0x12 ? 7 : 13, 0);
        p[0] = code;
        RxPutLe32(&p[1], a);
        if (packetId == 0x12) {
            RxPutLe16(&p[5], static_cast<uint16_t>(b));
        } else {
            RxPutLe32(&p[5], b);
            RxPutLe32(&p[9], c);
        }
        SendPacket(packetId, p);
    }
    void Data(uint8_t packetId, uint32_t address, const std::vector<uint8_t>& bytes)
    {
        std::vector<uint8_t> p(8);
        RxPutLe32(&p[0], address);
        RxPutLe32(&p[4], static_cast<uint32_t>(bytes.size()));
        p.insert(p.end(), bytes.begin(), bytes.end());
        SendPacket(packetId, p);
    }

    // Every byte that arrives within `ms`.
    std::vector<uint8_t> ReadFor(int ms)
    {
        std::vector<uint8_t> out;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{m_nFd, POLLIN, 0};
            if (poll(&p, 1, 10) > 0 && (p.revents & POLLIN)) {
                uint8_t buf[4096];
                ssize_t n = read(m_nFd, buf, sizeof buf);
                if (n > 0)
                    out.insert(out.end(), buf, buf + n);
            }
        }
        return out;
    }
    // Bytes until `count` arrived or `ms` passed.
    std::vector<uint8_t> ReadCount(size_t count, int ms)
    {
        std::vector<uint8_t> out;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (out.size() < count && std::chrono::steady_clock::now() < end) {
            pollfd p{m_nFd, POLLIN, 0};
            if (poll(&p, 1, 10) > 0 && (p.revents & POLLIN)) {
                uint8_t buf[1];
                if (read(m_nFd, buf, 1) == 1)
                    out.push_back(buf[0]);
            }
        }
        return out;
    }
    // The next packet with id `id` within `ms` (others are skipped).
    bool WaitPacket(uint8_t id, std::vector<uint8_t>& payload, int ms)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{m_nFd, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN))
                continue;
            uint8_t b;
            while (read(m_nFd, &b, 1) == 1) {
                if (m_Reader.Feed(b) == RXF_PACKET && m_Reader.Id() == id) {
                    payload = m_Reader.Payload();
                    return true;
                }
            }
        }
        return false;
    }
    // The acknowledgement byte of the next `ackId` packet; -1 on time-out.
    int WaitAck(uint8_t ackId, int ms = 1000)
    {
        std::vector<uint8_t> p;
        if (!WaitPacket(ackId, p, ms))
            return -1;
        return p.empty() ? -2 : p[0];
    }
    void ResetReader() { m_Reader.Reset(); }

private:
    int m_nFd = -1;
    CPacketReader m_Reader{HOST_REPLIES};
};

// A receiver started with `config`, and a host on its primary port.
struct CReceiverRig {
    explicit CReceiverRig(const CReceiverConfig& config) : m_Receiver(config)
    {
        m_bStarted = m_Receiver.Start(m_strError);
        if (m_bStarted)
            m_pHost = std::make_unique<CRawHost>(m_Receiver.SlavePaths()[0]);
    }
    CVirtualReceiver m_Receiver;
    std::unique_ptr<CRawHost> m_pHost;
    std::string m_strError;
    bool m_bStarted = false;
};

// Numbers out of the report's JSON, e.g. "\"retries\": " -> 3.
inline long long ReportNumber(const std::string& json, const std::string& key)
{
    size_t at = json.find("\"" + key + "\": ");
    if (at == std::string::npos)
        return -1;
    return std::atoll(json.c_str() + at + key.size() + 4);
}

// Boot-loader handshake: announcement, identity request, identity record.
inline bool ConnectBoot(CRawHost& host, std::vector<uint8_t>& identity, int ms = 2000)
{
    std::vector<uint8_t> announce;
    if (!host.WaitPacket(0x11, announce, ms))
        return false;
    host.Command(0x12, 0x8E);
    return host.WaitPacket(0x15, identity, ms);
}

// Uploads `image` to `address` through the boot loader in 1024-byte blocks.
inline bool UploadThroughBoot(CRawHost& host, uint32_t address, const uint8_t* image,
                              uint32_t length)
{
    for (uint32_t at = 0; at < length; at += 1024) {
        uint32_t n = std::min<uint32_t>(1024, length - at);
        host.Data(0x14, address + at, std::vector<uint8_t>(image + at, image + at + n));
        if (host.WaitAck(0x13) != 1)
            return false;
    }
    return true;
}

// From a receiver's boot loader to a connected flash monitor: upload the
// monitor image of the board's class, start it, answer its announcement.
inline bool StartMonitor(CRawHost& host, int mapType, uint32_t monitorAddress)
{
    std::vector<uint8_t> id, p;
    CMonitorImage image = GetMonitorImage(mapType);
    if (!ConnectBoot(host, id) ||
        !UploadThroughBoot(host, monitorAddress, image.pData, image.nLength))
        return false;
    host.Command(0x12, 0x87);
    if (host.WaitAck(0x13) != 1 || !host.WaitPacket(0xA1, p, 1000))
        return false;
    host.Command(0xA2, 0x9E);
    return host.WaitPacket(0xA5, p, 1000);
}
