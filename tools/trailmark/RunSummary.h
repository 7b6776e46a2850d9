// What `trailmark upgrade` says when every receiver is done: the summary
// table for people, the summary object that ends the JSON output, the
// closing exit status, and the bench's run log.
//
// The run log has one line per receiver and invocation, fields separated by
// tabs, appended with a single write to a file opened for appending, so that
// an interrupted program (or two programs logging to one file) never leaves
// half a line:
//   <local time>  port=..  serial=..  board=..  old=<app>/<boot>  new=<app>/<boot>
//   result=upgraded|failed|interrupted  status=N  duration=41.9s  retries=N  [reason=..]
//
// Threading: the main thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/LocalTime.h"
#include "tools/trailmark/OutputStream.h"
#include "tools/trailmark/ReceiverRun.h"

// 0 when every receiver was upgraded and its flash verified, otherwise the
// highest status among the receivers (5 for one upgraded unverified).
int OverallExitStatus(const std::vector<const CReceiverResult*>& results);

// "upgraded", "interrupted" or "failed".
const char* ResultWord(const CReceiverResult& result);

void PrintSummaryTable(COutputStream& out, const std::vector<const CReceiverResult*>& results);

// The closing lines of a single receiver, short, with what a tray's table
// gives: the versions before and after as the receiver reported them, the
// time taken, the line rate and, for an upgrade, how its flash was checked
// (`flashCheck` is the FLASH_CHECK_* the run was given).
void PrintReceiverSummary(COutputStream& out, const CReceiverResult& result, int32_t flashCheck);

// One line of JSON: {"event":"summary", ...} with one entry per receiver;
// `logError` (when not empty) says why the run log lost a line.
std::string SummaryJson(const std::vector<const CReceiverResult*>& results, double seconds,
                        const std::string& logError = std::string());

// The log line for one receiver, ending in a newline.
std::string LogLine(const CReceiverResult& result, const platform::CLocalTime& when);

// Appends text with one write; false with the reason when the file cannot
// be opened or written.
bool AppendToLog(const std::string& path, const std::string& text, std::string& error);
