#include "link/ReceiverTextLink.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "link/PerfTimer.h"
#include "link/ReceiverLines.h"
#include "link/SerialHandler.h"

namespace {

constexpr uint8_t INFO_START = 0x02;
constexpr uint8_t INFO_STATUS_OK = 0x00;
constexpr uint8_t INFO_TYPE = 0x6E;
constexpr uint8_t INFO_END = 0x03;
constexpr size_t INFO_FIELD_SIZE = 256;  // a longer field is cut to 255 characters

// Copies a terminated text into a caller's buffer: at most size - 1
// characters, the rest zero-filled.
void CopyOut(char* buffer, size_t size, const char* text, size_t length)
{
    if (buffer == nullptr || size == 0)
        return;
    size_t nCopy = strnlen(text, length < size - 1 ? length : size - 1);
    std::memset(buffer, 0, size);
    std::memcpy(buffer, text, nCopy);
}

// One slice of a reader's wait; true when bytes are in the ring (also ones
// left from an earlier, already consumed signal).
bool WaitForBytes(CSerialHandler* port)
{
    // A wait that fails at once (a closed port) must not become a busy spin.
    if (port->WaitForRx(TEXT_WAIT_SLICE_MS) < 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(TEXT_WAIT_SLICE_MS));
    return port->GetRxCount() > 0;
}

bool IsLetter(uint8_t byte)
{
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
}

// Reads one "%d" item: optional white space and sign, then digits. Values
// beyond the int range are clamped rather than left undefined.
bool ReadNumber(const char*& p, int& value)
{
    char* pEnd = nullptr;
    errno = 0;
    long n = std::strtol(p, &pEnd, 10);
    if (pEnd == p)
        return false;
    if (n > INT_MAX)
        n = INT_MAX;
    if (n < INT_MIN)
        n = INT_MIN;
    value = static_cast<int>(n);
    p = pEnd;
    return true;
}

bool ReadComma(const char*& p)
{
    if (*p != ',')
        return false;
    ++p;
    return true;
}

// The PORT field: "PORT,%d,%d,%d,%d,%d,%c". Changes the record only when all
// six items were read.
bool ParsePortField(const char* field, CReceiverPortInfo& info)
{
    const char* p = field + 4;
    int numbers[5] = {};
    for (int& number : numbers) {
        if (!ReadComma(p) || !ReadNumber(p, number))
            return false;
    }
    if (!ReadComma(p) || *p == '\0')
        return false;
    char parity = *p;
    info.m_nPort = static_cast<uint8_t>(numbers[0]);
    switch (numbers[1]) {
    case 2400: case 4800: case 9600: case 19200: case 38400: case 57600: case 115200:
        info.m_nBaudRate = static_cast<uint32_t>(numbers[1]);
        break;
    default:
        break;  // a rate the port cannot be set to keeps the earlier value
    }
    info.m_nByteSize = static_cast<uint8_t>(numbers[3]);
    if (numbers[4] == 1)
        info.m_nStopBits = 0;
    else if (numbers[4] == 2)
        info.m_nStopBits = 2;
    if (parity == 'E')
        info.m_nParity = 2;
    else if (parity == 'N')
        info.m_nParity = 0;
    else if (parity == 'O')
        info.m_nParity = 1;
    return true;
}

}  // namespace

bool ParseInfoReply(const char* text, CReceiverPortInfo& info)
{
    if (text == nullptr)
        return false;
    bool bPortRead = false;
    const char* pField = text;
    for (;;) {
        const char* pEnd = std::strchr(pField, ';');
        size_t nLength = pEnd != nullptr ? static_cast<size_t>(pEnd - pField) : std::strlen(pField);
        std::string field(pField, nLength < INFO_FIELD_SIZE ? nLength : INFO_FIELD_SIZE - 1);
        if (field.compare(0, 4, "PORT") == 0) {
            if (ParsePortField(field.c_str(), info))
                bPortRead = true;
        } else if (field.compare(0, 8, "PRODUCT,") == 0) {
            CopyOut(info.m_szProduct, sizeof(info.m_szProduct), field.c_str() + 8, field.size() - 8);
        }
        if (pEnd == nullptr)
            break;
        pField = pEnd + 1;
    }
    return bPortRead;
}

bool CReceiverTextLink::ReadInfoReply(char* buffer, size_t size)
{
    CPerfTimer timer;
    timer.Start();
    uint8_t work[TEXT_WORK_SIZE + 1] = {};
    int nStored = 0, nState = 0, nLength = 0;
    unsigned nSum = 0;
    while (timer.ElapsedSeconds() < 1.0 && nStored < TEXT_WORK_SIZE && nState != 5) {
        if (!WaitForBytes(m_pPort))
            continue;
        while (m_pPort->GetRxCount() > 0 && nStored < TEXT_WORK_SIZE) {
            uint8_t byte = m_pPort->ReadByte();
            switch (nState) {
            case 0:  // bytes before the packet (left-overs, echo) are skipped
                nState = byte == INFO_START ? 1 : 0;
                break;
            case 1:
                nSum = byte;
                nState = byte == INFO_STATUS_OK ? 2 : 0;
                break;
            case 2:
                nSum += byte;
                nState = byte == INFO_TYPE ? 3 : 0;
                break;
            case 3:
                nLength = byte;
                nSum += byte;
                nState = 4;
                break;
            case 4:
                // The text may itself hold 0x03: only the one after LEN text
                // bytes and the check byte ends the packet.
                if (byte == INFO_END && nStored == nLength + 1 &&
                    ((nSum - work[nStored - 1]) & 0xFF) == work[nStored - 1]) {
                    work[nStored - 1] = 0;
                    CopyOut(buffer, size, reinterpret_cast<const char*>(work),
                            static_cast<size_t>(nLength));
                    nState = 5;
                } else {
                    work[nStored++] = byte;
                    nSum += byte;
                }
                break;
            default:
                break;  // whatever follows the packet in this batch is consumed
            }
        }
    }
    return nState == 5;
}

bool CReceiverTextLink::ReadTextLine(char* buffer, size_t size)
{
    CPerfTimer timer;
    timer.Start();
    char work[TEXT_WORK_SIZE + 1] = {};
    int nStored = 0, nState = 0;
    while (timer.ElapsedSeconds() < 1.0 && nStored < TEXT_WORK_SIZE && nState != 3) {
        if (!WaitForBytes(m_pPort))
            continue;
        while (m_pPort->GetRxCount() > 0 && nStored < TEXT_WORK_SIZE) {
            uint8_t byte = m_pPort->ReadByte();
            if (nState == 0) {
                if (IsLetter(byte)) {
                    work[nStored++] = static_cast<char>(byte);
                    nState = 1;
                }
            } else if (nState == 1) {
                work[nStored++] = static_cast<char>(byte);
                if (byte == '\r')
                    nState = 2;
            } else if (nState == 2) {
                if (byte == '\n') {
                    work[nStored++] = '\n';
                    CopyOut(buffer, size, work, static_cast<size_t>(nStored));
                    nState = 3;
                } else {
                    // A carriage return without its line feed: the byte is
                    // dropped and a later line is appended to the text so far.
                    nState = 0;
                }
            }
        }
    }
    return nState == 3;
}

void CReceiverTextLink::ExchangeText(const char* command, char* info, size_t infoSize,
                                     char* reply, size_t replySize)
{
    if (m_pPort == nullptr || !m_pPort->IsOpen())
        return;
    m_pPort->Purge(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    m_pPort->Configure(LINE_TEXT_COMMAND);
    m_pPort->SendBreak(TEXT_BREAK_MS);
    if (!ReadInfoReply(info, infoSize))
        return;
    size_t nLength = command != nullptr ? strnlen(command, TEXT_COMMAND_MAX + 1) : 0;
    if (nLength < 1 || nLength > TEXT_COMMAND_MAX)
        return;
    char line[TEXT_COMMAND_MAX + 1] = {};
    std::memcpy(line, command, nLength);
    m_pPort->Write(reinterpret_cast<const uint8_t*>(line), static_cast<int>(nLength));
    ReadTextLine(reply, replySize);
}
