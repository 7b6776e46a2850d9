#include "tools/trailmark/RunSummary.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/RunReport.h"
#include "texts/Texts.h"
#include "tools/trailmark/Command.h"
#include "tools/trailmark/JsonWriter.h"
#include "tools/trailmark/RunProgress.h"

using namespace CHERFLoaderLib;

namespace {

// "v1.82"; "-" while the receiver never said.
std::string Version(uint16_t version, bool known)
{
    if (!known)
        return "-";
    char text[16];
    return FormatVersion(text, sizeof text, version);
}

bool Identified(const CReceiverResult& result)
{
    return result.report.receiver.nBoardId >= 0;
}

std::string Board(const CReceiverResult& result)
{
    return Identified(result) ? std::to_string(result.report.receiver.nBoardId) : "-";
}

std::string Serial(const CReceiverResult& result)
{
    return result.report.receiver.strSerial.empty() ? "-" : result.report.receiver.strSerial;
}

// A text for one tab-separated field: tabs and line ends become spaces.
std::string Field(std::string text)
{
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
    return text;
}

std::string Seconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1fs", seconds);
    return text;
}

}  // namespace

int OverallExitStatus(const std::vector<const CReceiverResult*>& results)
{
    int status = 0;
    for (const CReceiverResult* result : results)
        status = std::max(status, result->bSuccess || result->nExitStatus != 0 ? result->nExitStatus : 1);
    return status;
}

const char* ResultWord(const CReceiverResult& result)
{
    if (result.bSuccess)
        return "upgraded";
    return result.nExitStatus == EXIT_STATUS_INTERRUPTED ? "interrupted" : "failed";
}

void PrintSummaryTable(COutputStream& out, const std::vector<const CReceiverResult*>& results)
{
    size_t width = 4;
    for (const CReceiverResult* result : results)
        width = std::max(width, result->strPort.size());
    const int w = static_cast<int>(width);
    // One row; the reason column is last and absent for a receiver without one.
    // The rate column is the line rate the receiver's upload ran at.
    auto row = [&out, w](const std::string& port, const std::string& serial, const std::string& board,
                        const std::string& oldVersions, const std::string& newVersions, const char* result,
                        const std::string& time, const std::string& rate, const std::string& reason) {
        out.Print("%-*s  %-16s %5s  %-12s  %-12s  %-11s %7s %7s%s%s\n", w, port.c_str(), serial.c_str(),
                  board.c_str(), oldVersions.c_str(), newVersions.c_str(), result, time.c_str(), rate.c_str(),
                  reason.empty() ? "" : "  ", reason.c_str());
    };
    row("Port", "Serial", "Board", "Old app/boot", "New app/boot", "Result", "Time", "Rate", "Reason");
    int upgraded = 0;
    std::string failedPorts;
    for (const CReceiverResult* r : results) {
        const CReceiverFacts& facts = r->report.receiver;
        const std::string oldVersions =
            Version(facts.wOldAppVersion, Identified(*r)) + "/" + Version(facts.wOldBootVersion, Identified(*r));
        const std::string newVersions = Version(facts.wNowAppVersion, facts.bIdentifiedAfter) + "/" +
                                        Version(facts.wNowBootVersion, facts.bIdentifiedAfter);
        row(r->strPort, Serial(*r), Board(*r), oldVersions, newVersions, ResultWord(*r), FormatDuration(r->dSeconds),
            r->report.nLineRate != 0 ? std::to_string(r->report.nLineRate) : "-",
            r->bUnverified ? std::string(UNVERIFIED_TEXT) : r->strReason);
        if (r->bSuccess)
            ++upgraded;
        else
            failedPorts += (failedPorts.empty() ? "" : ", ") + r->strPort + " (status " +
                           std::to_string(r->nExitStatus) + ")";
    }
    out.Print("%d of %zu receivers upgraded", upgraded, results.size());
    int unverified = 0;
    for (const CReceiverResult* r : results)
        unverified += r->bUnverified;
    if (unverified > 0)
        out.Print(" (%d of them unverified: the flash could not be checked)", unverified);
    if (!failedPorts.empty())
        out.Print("; not upgraded: %s", failedPorts.c_str());
    out.Print("\n");
    out.Flush();
}

namespace {

std::string VersionsLine(const CReceiverResult& r)
{
    const CReceiverFacts& facts = r.report.receiver;
    std::string who = "Receiver";
    if (!facts.strSerial.empty())
        who += " " + facts.strSerial;
    if (Identified(r))
        who += " (board " + std::to_string(facts.nBoardId) + ")";
    if (!Identified(r))
        return who + ": not identified";
    const std::string before = Version(facts.wOldAppVersion, true), beforeBoot = Version(facts.wOldBootVersion, true);
    if (!facts.bIdentifiedAfter)
        return who + ": application " + before + ", boot loader " + beforeBoot +
               " before; not identified after the upgrade";
    return who + ": application " + before + " -> " + Version(facts.wNowAppVersion, true) + ", boot loader " +
           beforeBoot + " -> " + Version(facts.wNowBootVersion, true) + ", as it reports them";
}

std::string FlashCheckWords(const CReceiverResult& r, int32_t flashCheck)
{
    if (flashCheck == FLASH_CHECK_NONE)
        return "flash not checked (--verify none)";
    if (r.bUnverified || r.report.bFlashUnverified)
        return "the flash could not be checked on this receiver";
    if (flashCheck == FLASH_CHECK_READ_BACK)
        return "flash read back and compared with the package";
    if (flashCheck == FLASH_CHECK_AUTO && r.report.bLineTrouble)
        return "flash read back and compared with the package, as the line lost or damaged data";
    return "flash checked by the monitor's byte sums";
}

}  // namespace

void PrintReceiverSummary(COutputStream& out, const CReceiverResult& r, int32_t flashCheck)
{
    std::string times = "Time " + FormatDuration(r.dSeconds);
    if (r.nAttempts > 1)
        times += " (" + std::to_string(r.nAttempts) + " runs)";
    if (r.report.nLineRate != 0)
        times += ", line rate " + std::to_string(r.report.nLineRate);
    if (r.bSuccess)
        times += "; " + FlashCheckWords(r, flashCheck);
    out.Write(VersionsLine(r) + "\n" + times + "\n");
    out.Flush();
}

std::string SummaryJson(const std::vector<const CReceiverResult*>& results, double seconds,
                        const std::string& logError)
{
    CJsonWriter json;
    json.BeginObject();
    json.String("event", "summary");
    int status = OverallExitStatus(results);
    if (!logError.empty())
        status = std::max(status, EXIT_STATUS_FAILED);
    json.Bool("success", status == 0);
    json.Signed("exit_status", status);
    if (!logError.empty())
        json.String("log_error", logError);
    json.Real("duration_s", seconds);
    json.BeginArray("receivers");
    for (const CReceiverResult* r : results) {
        const CReceiverFacts& facts = r->report.receiver;
        json.BeginObject();
        json.String("port", r->strPort);
        json.String("result", ResultWord(*r));
        json.Signed("exit_status", r->nExitStatus);
        json.Signed("result_code", r->report.nResult);
        json.String("result_name", ResultCodeName(r->report.nResult));
        if (Identified(*r)) {
            json.String("old_app_version", Version(facts.wOldAppVersion, true));
            json.String("old_boot_version", Version(facts.wOldBootVersion, true));
            json.Signed("board", facts.nBoardId);
        } else {
            json.Null("old_app_version");
            json.Null("old_boot_version");
            json.Null("board");
        }
        // "new": what the receiver reported once upgraded; the package's
        // versions are given beside them.
        if (facts.bIdentifiedAfter) {
            json.String("new_app_version", Version(facts.wNowAppVersion, true));
            json.String("new_boot_version", Version(facts.wNowBootVersion, true));
        } else {
            json.Null("new_app_version");
            json.Null("new_boot_version");
        }
        json.String("package_app_version", Version(facts.wNewAppVersion, true));
        json.String("package_boot_version", Version(facts.wNewBootVersion, true));
        if (facts.strSerial.empty())
            json.Null("serial");
        else
            json.String("serial", facts.strSerial);
        if (r->report.nLineRate != 0)
            json.Signed("line_rate", r->report.nLineRate);
        else
            json.Null("line_rate");
        if (r->bSuccess)
            json.Bool("flash_verified", !r->report.bFlashUnverified);
        else
            json.Null("flash_verified");
        json.Real("duration_s", r->dSeconds);
        json.Signed("retries", r->nAttempts > 0 ? r->nAttempts - 1 : 0);
        if (r->bSuccess) {
            json.Null("failed_step");
            json.Null("reason");
        } else {
            const char* step = StepName(r->report.nFailedStep);
            if (step != nullptr)
                json.String("failed_step", step);
            else
                json.Null("failed_step");
            json.String("reason", r->strReason);
        }
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
    return json.Text();
}

std::string LogLine(const CReceiverResult& r, const platform::CLocalTime& when)
{
    const CReceiverFacts& facts = r.report.receiver;
    char time[32];
    std::snprintf(time, sizeof time, "%04d-%02d-%02d %02d:%02d:%02d", when.nYear, when.nMonth, when.nDay,
                  when.nHour, when.nMinute, when.nSecond);
    std::string line = time;
    line += "\tport=" + Field(r.strPort);
    line += "\tserial=" + Field(Serial(r));
    line += "\tboard=" + Board(r);
    line += "\told=" + Version(facts.wOldAppVersion, Identified(r)) + "/" +
            Version(facts.wOldBootVersion, Identified(r));
    line += "\tnew=" + Version(facts.wNowAppVersion, facts.bIdentifiedAfter) + "/" +
            Version(facts.wNowBootVersion, facts.bIdentifiedAfter);
    line += std::string("\tresult=") + ResultWord(r);
    if (r.bSuccess)
        line += r.report.bFlashUnverified ? "\tverified=no" : "\tverified=yes";
    line += "\tstatus=" + std::to_string(r.nExitStatus);
    line += "\tduration=" + Seconds(r.dSeconds);
    if (r.report.nLineRate != 0)
        line += "\trate=" + std::to_string(r.report.nLineRate);
    line += "\tretries=" + std::to_string(r.nAttempts > 0 ? r.nAttempts - 1 : 0);
    if (!r.bSuccess)
        line += "\treason=" + Field(r.strReason);
    return line + "\n";
}

bool AppendToLog(const std::string& path, const std::string& text, std::string& error)
{
    std::FILE* file = std::fopen(path.c_str(), "ab");
    if (file == nullptr) {
        error = "cannot open " + path + " for appending: " + std::strerror(errno);
        return false;
    }
    // Unbuffered: the whole line goes to the system in one write.
    std::setvbuf(file, nullptr, _IONBF, 0);
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const int writeErrno = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        error = "cannot write to " + path + ": " + std::strerror(written ? errno : writeErrno);
        return false;
    }
    return true;
}
