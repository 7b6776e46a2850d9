// The few line settings the receiver is spoken to with, by name.
//
// The boot loader and the flash monitor speak their packet protocols at 19200
// baud 8O1 (and at 115200 after a speed switch: LINE_PACKET.WithRate(115200)).
// The primary port raises RTS and DTR for them; the secondary and third ports
// keep both low, and so does the wake text, which goes out in the same frame.
// The application firmware's text command runs at 9600 8N1, the handheld's
// passthrough at 38400 8N1, both with the lines low.
//
// Used by the engine's links and phases and the text link; plain constants.
#pragma once

#include "platform/LineSettings.h"

constexpr platform::CLineSettings LINE_PACKET = {.nBaudRate = 19200,
                                                 .nDataBits = 8,
                                                 .eParity = platform::EParity::Odd,
                                                 .eStopBits = platform::EStopBits::One,
                                                 .bRts = true,
                                                 .bDtr = true};
constexpr platform::CLineSettings LINE_PACKET_LINES_LOW = {.nBaudRate = 19200,
                                                           .nDataBits = 8,
                                                           .eParity = platform::EParity::Odd,
                                                           .eStopBits = platform::EStopBits::One,
                                                           .bRts = false,
                                                           .bDtr = false};
constexpr platform::CLineSettings LINE_TEXT_COMMAND = {.nBaudRate = 9600,
                                                       .nDataBits = 8,
                                                       .eParity = platform::EParity::None,
                                                       .eStopBits = platform::EStopBits::One,
                                                       .bRts = false,
                                                       .bDtr = false};
constexpr platform::CLineSettings LINE_PASSTHROUGH = {.nBaudRate = 38400,
                                                      .nDataBits = 8,
                                                      .eParity = platform::EParity::None,
                                                      .eStopBits = platform::EStopBits::One,
                                                      .bRts = false,
                                                      .bDtr = false};
