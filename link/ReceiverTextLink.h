// The text exchange with a receiver that runs its normal application.
//
// At 9600 baud a line break wakes the receiver, which answers with a small
// binary information packet (0x02, status 0x00, type 0x6E, LEN, LEN text
// bytes, check byte, 0x03) whose text lists its product name and port
// settings as ";"-separated fields. The host then sends a command line and
// reads the receiver's one-line answer. The connection phase uses this to send
// the receiver to its flash monitor, and ParseInfoReply to read the settings.
//
// Threading: runs on the upgrade worker thread while no protocol manager uses
// the same port. Keeps no state between calls besides the port pointer.
#pragma once

#include <cstddef>
#include <cstdint>

class CSerialHandler;

constexpr int TEXT_BREAK_MS = 500;
constexpr int TEXT_WAIT_SLICE_MS = 100;
constexpr int TEXT_WORK_SIZE = 2048;  // the most a reader collects before giving up
constexpr size_t TEXT_COMMAND_MAX = 255;

// A receiver's port settings as its information text gives them. The caller
// sets the initial values; ParseInfoReply changes only what it reads.
struct CReceiverPortInfo {
    char m_szProduct[32] = {};
    uint8_t m_nPort = 0;
    uint32_t m_nBaudRate = 0;
    uint8_t m_nByteSize = 0;
    uint8_t m_nParity = 0;    // 0 none, 1 odd, 2 even
    uint8_t m_nStopBits = 0;  // 0 one, 2 two
};

// Reads the "PRODUCT,<name>" and "PORT,<port>,<baud>,<n>,<data bits>,<stop
// bits>,<parity letter>" fields of an information text. True when a PORT
// field was read completely; a PRODUCT field alone gives false.
bool ParseInfoReply(const char* text, CReceiverPortInfo& info);

class CReceiverTextLink {
public:
    explicit CReceiverTextLink(CSerialHandler* port) : m_pPort(port) {}

    // Switches the port to 9600 baud, wakes the receiver with a break, reads
    // its information packet into `info`, then sends `command` (1 to 255
    // characters, without terminator) and reads the answer line into `reply`.
    // Stops at the first step that fails; the caller judges the buffers.
    void ExchangeText(const char* command, char* info, size_t infoSize, char* reply,
                      size_t replySize);
    // Waits up to one second for the information packet; its text goes to
    // the buffer (cut to size - 1 characters, zero-filled, terminated).
    bool ReadInfoReply(char* buffer, size_t size);
    // Waits up to one second for one line that starts with a letter and ends
    // with "\r\n"; it goes to the buffer with its line end (cut to size - 1,
    // terminated).
    bool ReadTextLine(char* buffer, size_t size);

private:
    CSerialHandler* m_pPort;
};
