#include "receiver/ApplicationMode.h"

#include "receiver/ReceiverCore.h"

#include <cstring>

namespace {
const char* const WAKE_TEXT = "PoLkAdOtSy";
const char* const WAKE_ANSWER = "tUrNiPgReEnSo";
const char* const GOTO_MONITOR = "TITAN : GOTO FLASH MONITOR\r\n";
const char* const GOING_TO_MONITOR = "TITAN : GOING TO FLASH MONITOR\r\n";
constexpr uint8_t INFO_TYPE = 0x6E;
constexpr uint8_t HANDHELD_ACK = 0x06;
constexpr size_t TEXT_LINE_MAX = 256;

std::vector<uint8_t> Bytes(const std::string& text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}
}  // namespace

CApplicationMode::CApplicationMode(CReceiverCore& core) : CReceiverMode(core), m_Wake(WAKE_TEXT)
{
}

bool CApplicationMode::BehindHandheld() const
{
    return m_Core.Config().m_eStart == RXS_PASSTHROUGH;
}

void CApplicationMode::Enter(CRxTime now)
{
    (void)now;
    m_Wake.Reset();
    m_strLine.clear();
    m_bHandheldAcked = false;
    m_nFrameStep = 0;
    m_Frames.Reset();
    if (BehindHandheld()) {
        m_Core.SetSpeed(38400);
    } else {
        uint32_t host = m_Core.HostBaud(0);
        m_Core.SetSpeed(host == 9600 ? 9600 : 19200);
    }
}

void CApplicationMode::OnBytes(int port, const uint8_t* bytes, size_t count, CRxTime now)
{
    if (port != 0)
        return;
    for (size_t i = 0; i < count && m_Core.Mode() == RXM_APPLICATION; ++i) {
        if (BehindHandheld()) {
            if (m_bHandheldAcked && m_Frames.Feed(bytes[i]))
                OnPassthroughFrame(now);
            continue;
        }
        if (m_Wake.Feed(bytes[i])) {
            m_Core.Send(0, Bytes(WAKE_ANSWER), now);
            m_Core.EnterMode(RXM_BOOT, now);
            return;
        }
        OnTextByte(bytes[i], now);
    }
}

void CApplicationMode::OnTextByte(uint8_t byte, CRxTime now)
{
    m_strLine.push_back(static_cast<char>(byte));
    if (m_strLine.size() > TEXT_LINE_MAX)
        m_strLine.erase(0, m_strLine.size() - TEXT_LINE_MAX);
    size_t n = m_strLine.size();
    if (n < 2 || m_strLine[n - 2] != '\r' || m_strLine[n - 1] != '\n')
        return;
    std::string line;
    line.swap(m_strLine);
    size_t cmd = std::strlen(GOTO_MONITOR);
    if (line.size() < cmd || line.compare(line.size() - cmd, cmd, GOTO_MONITOR) != 0)
        return;
    m_Core.Send(0, Bytes(GOING_TO_MONITOR), now);
    const std::string& name = m_Core.Config().m_strProductName;
    // These products go on to the boot loader only after the wake text.
    if (name.find("ModelD") == std::string::npos && name.find("HandheldOS") == std::string::npos)
        m_Core.EnterMode(RXM_BOOT, now);
}

void CApplicationMode::OnBreak(int port, CRxTime now)
{
    if (port != 0)
        return;
    uint32_t host = m_Core.HostBaud(0);
    if (BehindHandheld()) {
        if (host != 38400)
            return;
        m_bHandheldAcked = true;
        m_nFrameStep = 0;
        m_Frames.Reset();
        m_Core.Send(0, {HANDHELD_ACK}, now);
        return;
    }
    if (host != 9600)
        return;
    // A break puts the application's port to 9600 baud 8N1, and it tells the
    // host so in its information packet.
    m_Core.SetSpeed(9600);
    m_strLine.clear();
    std::string text = "PRODUCT," + m_Core.Config().m_strProductName + ";PORT,1,9600,0,8,1,N";
    if (text.size() > 255)
        text.resize(255);
    m_Core.Send(0,
                RxEncodeFrame(0x00, INFO_TYPE, reinterpret_cast<const uint8_t*>(text.data()),
                            text.size()),
                now);
}

void CApplicationMode::OnPassthroughFrame(CRxTime now)
{
    static const uint8_t FIRST[] = {0x00, 0x50, 0x00, 0x04, 0x00, 0x00};
    static const uint8_t SECOND[] = {0x00, 0x50, 0x00, 0x04, 0x08, 0x08};
    const std::vector<uint8_t>& data = m_Frames.Data();
    uint8_t type = m_Frames.Type();
    bool expected = false;
    if (m_nFrameStep == 0 || m_nFrameStep == 1) {
        const uint8_t* want = m_nFrameStep == 0 ? FIRST : SECOND;
        expected = type == 0x81 && data.size() == 6 && std::memcmp(data.data(), want, 6) == 0;
    } else {
        expected = type == 0x85 && data.empty();
    }
    if (!expected) {
        m_nFrameStep = 0;
        return;
    }
    if (++m_nFrameStep == 3)
        m_Core.EnterMode(RXM_BOOT, now);
}
