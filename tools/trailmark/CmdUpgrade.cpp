// `trailmark upgrade`: a full upgrade of one receiver from the command line.
//
// The engine runs on its own threads; its notifications are queued here and
// shown by the main thread, which also watches for Ctrl-C. A failed run is
// retried once with the command-line way of reaching the receiver (options
// 0x73), as the wizard does.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <mutex>

#include "engine/HERFLoader.h"
#include "tools/trailmark/Command.h"
#include "tools/trailmark/UpgradeView.h"

using namespace CHERFLoaderLib;

namespace {

constexpr uint32_t DEFAULT_OPTIONS = 0x163;
constexpr uint32_t RETRY_OPTIONS = 0x73;
constexpr uint32_t LOADER_MESSAGE = 0x83E8;
constexpr int EXIT_STATUS_PORT = 3;
constexpr int EXIT_STATUS_INTERRUPTED = 130;

volatile std::sig_atomic_t g_bInterrupted = 0;

void OnInterrupt(int)
{
    g_bInterrupted = 1;
}

struct CUpgradeOptions {
    std::string m_strPort = "COM1";
    std::string m_strPackage = "Corvid_FW_v1.82-Boot.q";
    std::string m_strOptions;
    std::string m_strSecondary;
    std::string m_strThird;
    bool m_bNoRetry = false;
    bool m_bJson = false;
};

// Notifications arrive on engine threads; the main thread shows them.
class CNotificationQueue {
public:
    void Push(const CLoaderNotification& n)
    {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Items.push_back(n);
        }
        m_Ready.notify_one();
    }
    bool Pop(CLoaderNotification& n, int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        if (!m_Ready.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !m_Items.empty(); }))
            return false;
        n = std::move(m_Items.front());
        m_Items.pop_front();
        return true;
    }

private:
    std::mutex m_Mutex;
    std::condition_variable m_Ready;
    std::deque<CLoaderNotification> m_Items;
};

// The ports of a run: a COM number, or a device path used as typed.
struct CRunPorts {
    int nNumber[3] = {1, 2, 4};
    std::string strDevice[3];
};

// "COM3" (any case) gives 3; a device path (it holds a '/') is kept as typed.
bool ResolvePortArgument(const std::string& text, CRunPorts& ports, int index)
{
    if (text.size() > 3 && (text[0] == 'C' || text[0] == 'c') && (text[1] == 'O' || text[1] == 'o') &&
        (text[2] == 'M' || text[2] == 'm')) {
        uint32_t value = 0;
        if (!ParseUint32(text.substr(3), value) || value < 1 || value > 255)
            return false;
        ports.nNumber[index] = static_cast<int>(value);
        return true;
    }
    if (text.find('/') == std::string::npos)
        return false;
    ports.strDevice[index] = text;
    return true;
}

enum class ERunEnd { Finished, StartFailed };

struct CRunOutcome {
    ERunEnd end = ERunEnd::Finished;
    int32_t nStart = 0;
    int32_t nResult = HLE_NONE;
    bool bDeviceGone = false;
    std::string strStartError;
};

CRunOutcome RunOnce(const CUpgradeOptions& options, const CRunPorts& ports, uint32_t bits, CUpgradeView& view)
{
    CNotificationQueue queue;
    CHERFLoader loader;
    loader.Create([&queue](const CLoaderNotification& n) { queue.Push(n); }, LOADER_MESSAGE);
    loader.SetPortNumbers(ports.nNumber[0], ports.nNumber[1], ports.nNumber[2]);
    loader.SetPortDevices(ports.strDevice[0], ports.strDevice[1], ports.strDevice[2]);
    CRunOutcome outcome;
    outcome.nStart = loader.Start(options.m_strPackage.c_str(), bits);
    if (outcome.nStart != 0) {
        outcome.end = ERunEnd::StartFailed;
        outcome.strStartError = loader.GetStartError();
        return outcome;
    }
    bool cancelAsked = false;
    for (;;) {
        CLoaderNotification n;
        if (queue.Pop(n, 100)) {
            view.Show(n);
            if (n.nCode == HLN_RUN && n.nPayload == RUN_FINISHED)
                break;
        }
        if (g_bInterrupted && !cancelAsked) {
            cancelAsked = true;
            if (loader.Cancel())
                view.Message("Interrupted: stopping the upgrade");
            else
                view.Message("Cannot stop now: the receiver's flash is being written, and stopping would leave "
                             "it without working firmware. Please wait.");
        }
    }
    outcome.nResult = loader.GetResult();
    outcome.bDeviceGone = loader.IsDeviceGone();
    loader.Destroy();
    return outcome;
}

int RunUpgrade(const CUpgradeOptions& options)
{
    uint32_t bits = DEFAULT_OPTIONS;
    if (!options.m_strOptions.empty() && !ParseUint32(options.m_strOptions, bits))
        return Fail(EXIT_STATUS_USAGE, "--options: '" + options.m_strOptions + "' is not a number");
    CRunPorts ports;
    if (!ResolvePortArgument(options.m_strPort, ports, 0))
        return Fail(EXIT_STATUS_USAGE, "--port: '" + options.m_strPort + "' is neither COMn nor a device path");
    if (!options.m_strSecondary.empty() && !ResolvePortArgument(options.m_strSecondary, ports, 1))
        return Fail(EXIT_STATUS_USAGE, "--secondary-port: '" + options.m_strSecondary + "' is not a port");
    if (!options.m_strThird.empty() && !ResolvePortArgument(options.m_strThird, ports, 2))
        return Fail(EXIT_STATUS_USAGE, "--third-port: '" + options.m_strThird + "' is not a port");

    EViewStyle style = options.m_bJson ? EViewStyle::Json
                       : isatty(STDOUT_FILENO) ? EViewStyle::Terminal
                                               : EViewStyle::Plain;
    CUpgradeView view(style, stdout);
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    CRunOutcome outcome;
    for (int attempt = 1; attempt <= 2; ++attempt) {
        const uint32_t runBits = attempt == 1 ? bits : RETRY_OPTIONS;
        view.RunStarted(attempt, runBits);
        outcome = RunOnce(options, ports, runBits, view);
        if (outcome.end == ERunEnd::StartFailed) {
            if (outcome.nStart == 2)
                return Fail(EXIT_STATUS_BAD_PACKAGE, outcome.strStartError);
            if (outcome.nStart == 3)
                return Fail(EXIT_STATUS_PORT, outcome.strStartError);
            return Fail(EXIT_STATUS_FAILED, outcome.strStartError);
        }
        const bool failedOrCancelled = view.LastRunPayload() == 2 || view.LastRunPayload() == 3;
        if (outcome.nResult == HLE_NONE || view.PowerFailed() || options.m_bNoRetry || g_bInterrupted ||
            outcome.bDeviceGone || failedOrCancelled)
            break;
    }
    const bool success = outcome.nResult == HLE_NONE && !view.PowerFailed();
    view.Result(success, outcome.nResult,
                success ? std::string()
                        : FailureReason(outcome.nResult, view.PhaseName(), view.PowerFailed(), outcome.bDeviceGone));
    if (success)
        return EXIT_STATUS_OK;
    if (g_bInterrupted && !view.NoCancelSeen())
        return EXIT_STATUS_INTERRUPTED;
    return EXIT_STATUS_FAILED;
}

}  // namespace

void AddUpgradeCommand(CLI::App& app)
{
    auto options = std::make_shared<CUpgradeOptions>();
    CLI::App* cmd = app.add_subcommand("upgrade", "Upgrade the firmware of a receiver");
    cmd->add_option("--port", options->m_strPort, "Serial port: COMn or a device path")
        ->capture_default_str();
    cmd->add_option("--package", options->m_strPackage, "Firmware package")->capture_default_str();
    cmd->add_option("--options", options->m_strOptions, "Option bits (default 0x163)");
    cmd->add_flag("--no-retry", options->m_bNoRetry, "Do not retry a failed run with options 0x73");
    cmd->add_option("--secondary-port", options->m_strSecondary,
                    "Second port for the parallel upload (used when the options allow it)");
    cmd->add_option("--third-port", options->m_strThird, "Third port (with option bit 0x008)");
    cmd->add_flag("--json", options->m_bJson, "One JSON object a line: every notification and the result");
    cmd->callback([options] { SetExitStatus(RunUpgrade(*options)); });
}
