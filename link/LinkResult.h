// Result codes of every protocol-manager operation that returns int.
//
// Shared by the protocol managers and by the engine phases that call them.
// Plain constants; no state, safe from any thread.
#pragma once

constexpr int LINK_OK = 0;             // the answer came and was positive
constexpr int LINK_TIMEOUT = 1;        // no acceptable answer within the time-out
constexpr int LINK_FAILED = 2;         // not connected, not sent, refused, or unexpected packet
constexpr int LINK_NOT_CONNECTED = 3;  // start value of a connect wait; base Connect's result
constexpr int LINK_WAITING = 4;        // start value of a reply wait; never returned
