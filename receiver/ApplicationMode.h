// The virtual receiver running its application firmware on the primary port.
//
// Standalone, the application answers the wake text "PoLkAdOtSy" (whole or
// across sends) with "tUrNiPgReEnSo" and enters its boot loader; after a
// break at 9600 baud it sends its information packet (text fields
// "PRODUCT,<name>" and "PORT,1,9600,0,8,1,N"); it answers the command line
// "TITAN : GOTO FLASH MONITOR\r\n" with "TITAN : GOING TO FLASH MONITOR\r\n"
// and enters its boot loader, except that a receiver whose product name
// contains "ModelD" or "HandheldOS" waits for the wake text as well. Its port
// follows the host between 19200 baud (wake text) and 9600 baud (texts).
//
// Behind a handheld (passthrough start), the handheld's passthrough runs at
// 38400 baud 8N1 instead: it answers a break with 0x06, takes the three
// switch frames (0x81 with address 0x00500004 and 00 00, 0x81 with 08 08,
// then 0x85) in that order, and after the 0x85 frame the receiver's boot
// loader is reachable at 19200 baud. A frame out of order starts the
// sequence again.
//
// Runs on the receiver's loop thread (CReceiverMode).
#pragma once

#include "receiver/FrameCodec.h"
#include "receiver/ReceiverMode.h"

#include <string>

class CApplicationMode : public CReceiverMode {
public:
    explicit CApplicationMode(CReceiverCore& core);

    void Enter(CRxTime now) override;
    void OnBytes(int port, const uint8_t* bytes, size_t count, CRxTime now) override;
    void OnBreak(int port, CRxTime now) override;

private:
    bool BehindHandheld() const;
    void OnTextByte(uint8_t byte, CRxTime now);
    void OnPassthroughFrame(CRxTime now);

    CTextWatch m_Wake;
    std::string m_strLine;
    bool m_bHandheldAcked = false;
    int m_nFrameStep = 0;
    CFrameReader m_Frames;
};
