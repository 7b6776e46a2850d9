// The upgrade engine handle.
//
// A front end (the wizard's progress page, the command line) creates one
// CHERFLoader per run, gives it a notification sink and the ports,
// and starts it with the package path and option bits. The run happens on a
// worker thread of the engine; everything it has to say arrives at the sink
// as notifications (code, payload and, for text notifications, a copy of the
// text made when it was sent). The engine never prints.
//
// Notification order of a run: HLN_PHASE_BEGIN "Connect to receiver" and
// HLN_RUN 0 come first; each phase begins with HLN_PHASE_BEGIN and reports
// progress as HLN_OVERALL_PERCENT immediately followed by HLN_PHASE_PERCENT;
// HLN_NO_CANCEL comes once, right after HLN_PHASE_BEGIN of the first phase
// that may not be interrupted; HLN_RUN 1 is always the last notification of a
// started run. A Start that fails sends nothing. The monitor upload says
// which monitor it sends with one HLN_TEXT line (MONITOR_FILE_TEXT_PREFIX and
// the file's path, or MONITOR_BUILT_IN_TEXT, texts/Texts.h) right before its
// "Monitor: v0.31, 12 May 2006" line. An exchange that failed and is sent
// again (a monitor chunk, a data block, an erase, program or verify command)
// is one HLN_RETRY, right after the failure and before the next attempt,
// with the number of the failed attempt and a text that names what is sent
// again and why ("data block 17 of 302 (1024 bytes to RAM 0x005C3400,
// primary link): no answer to the block within 150 ms, sent again"); the
// uploads send one after their last failure too (", no attempt left").
// With the trace on (EnableTrace), every notification but the percentages,
// every phase's beginning and every quick re-send also goes to standard
// error as a line a person can follow.
//
// After HLN_RUN 1, GetRunReport says what the run really did (whether the
// receiver was reached, a check refused the package, flash work began, the
// failing step and its reason); the front ends decide from it, through
// CUpgradePolicy, whether another run follows.
//
// Threading: every CHERFLoader operation is called from one thread (the front
// end's). The sink is called from the engine's threads (the worker and, during
// the data upload, the upload threads), possibly two at once: it must only
// queue the notification for its own thread (post, never block for long).
// Destroy waits a bounded time for the engine's threads and mutes the sink;
// a thread still busy then goes on by itself, and whichever thread lets go
// of the run last (any of them) frees it. No thread is ended by force.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/LoaderCodes.h"
#include "engine/PortService.h"
#include "engine/RunReport.h"

class CPackageImage;

namespace CHERFLoaderLib {

struct CLoaderNotification {
    uint32_t nMessage = 0;   // the message number given to Create
    int32_t nCode = 0;       // HLN_*
    int64_t nPayload = 0;    // number payload (0 for text notifications)
    std::string strText;     // HLN_TEXT, HLN_PHASE_BEGIN and HLN_RETRY: the text, copied when sent
    // HLN_PHASE_BEGIN only: the phase's kind (PHASE_*; -1 with any other
    // code) and, for the two uploads, the bytes the phase carries (0 when
    // nothing is sent), so that a front end shows speed and time left from
    // the notifications alone.
    int32_t nPhaseKind = -1;
    uint32_t nPhaseBytes = 0;
};

using CNotifySink = std::function<void(const CLoaderNotification&)>;

class CHERFLoaderImpl;

class CHERFLoader {
public:
    CHERFLoader();
    virtual ~CHERFLoader();
    CHERFLoader(const CHERFLoader&) = delete;
    CHERFLoader& operator=(const CHERFLoader&) = delete;

    // Makes the session (once); notifications go to `sink` tagged `message`.
    void Create(CNotifySink sink, uint32_t message);
    // The run's ports, each a COM number or a device path; messages name
    // each by its Name(). The secondary and third are opened only when the
    // options ask for them. Without a call the ports are COM1, COM2 and
    // COM4. Nothing without a session.
    void SetPorts(const CReceiverPorts& ports);
    // The same for three COM numbers (COMn each).
    void SetPortNumbers(int32_t primary, int32_t secondary, int32_t third);
    // How programmed flash is confirmed: FLASH_CHECK_AUTO unless set (a value
    // outside FLASH_CHECK_NONE..FLASH_CHECK_AUTO keeps the default).
    // Whatever is set, sectors that the monitor shows to be blank are not
    // erased, once a probe has shown that its checks really read flash.
    void SetFlashCheck(int32_t mode);
    // The folder holding the maker's monitor programs (XERF1.bin, XERF2.bin)
    // for Start to check and the monitor upload to send; empty (the default)
    // sends the built-in monitors, which only the virtual receiver runs.
    void SetMonitorFolder(const std::string& folder);
    // The folder of `packagePath` when it holds a monitor program of either
    // class (the wizard's rule: the maker's monitors lie beside the
    // package); empty otherwise.
    static std::string MonitorFolderBeside(const std::string& packagePath);
    // The monitor link's rate after its switch to 115200: 230400, 460800 or
    // 921600 are asked of the receiver and checked, falling back to 115200
    // when refused or unusable; 115200 (the default) asks nothing more.
    void SetLineRate(uint32_t baud);
    // Turns on the engine's trace texts on standard error for the process.
    static void EnableTrace();
    // START_OK, START_NOT_STARTED (no session, or no worker thread),
    // START_PACKAGE_FAILED (package, plan or monitor folder), START_PORT_FAILED. See
    // GetStartError for the reason.
    int32_t Start(const char* packagePath, uint32_t options);
    // The same with a package read once for every run of an invocation
    // (transfer/PackageImage.h): nothing is read from the file here.
    int32_t Start(std::shared_ptr<const CPackageImage> package, uint32_t options);
    // HLE_* of the run; HLE_NO_SESSION without a session.
    int32_t GetResult() const;
    // Raises the cancel signal; phases that may be cancelled stop at their
    // next check. Returns false, and changes nothing, once the flash work has
    // begun: from then on the run always goes on to its end. Cancel and the
    // start of the flash work are one decision: a cancel that was accepted
    // means no flash work begins; one that was refused changes nothing.
    bool Cancel();
    // Whether stopping the run now leaves the receiver unharmed: false from
    // the start of the flash work until the worker has finished, true before
    // and after (and without a session or a started run).
    bool MayStop() const;
    // Stops the worker (and the upload threads) and frees the session.
    void Destroy();

    // Why Start failed, as one line ("cannot open COM3: ..."); empty otherwise.
    std::string GetStartError() const;
    // A port of the run disappeared (USB adapter pulled) while it was open.
    bool IsDeviceGone() const;
    // What the run did so far; complete once HLN_RUN 1 has been sent. After a
    // failed Start: bStarted false, strError as GetStartError.
    CRunReport GetRunReport() const;

private:
    std::shared_ptr<CHERFLoaderImpl> m_pSession;
};

}  // namespace CHERFLoaderLib
