// CConnectionPage: the wizard's first page, where the user picks the COM port
// and sees the package the upgrade will write.
//
// Activation shows a please-wait note, empties and disables the port list and
// starts a short-lived thread that asks the engine's port service which
// device stands for each of COM1: to COM9: and has the engine read and prove
// the package (PackageCheck.h). When the thread is done the list holds the
// nine entries (each with the device it stands for, that none is present, or
// that the device set for it is missing); entries without a device are shown
// but cannot be chosen. The port chosen before (g_nComPort) is selected when
// it can be chosen, else the first that can. Under the picture the page
// shows the package's name, versions and the boards it is meant for, or why
// it cannot be written; Connect (the Next button) is offered only for a
// sound package and a port that has a device. Pressing it stores the chosen
// number in g_nComPort and the checked package in the sheet, where the
// progress page finds them. Coming back to the page (Back after a failure)
// fills the list and checks the package again, keeping the port.
//
// Threading: the page lives on the user-interface thread. The list thread
// only calls the port lister and the package checker and posts its answer
// back; the page joins it before starting another and in its destructor, so
// it never outlives the page.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/PortService.h"
#include "wizard/PackageCheck.h"
#include "wizard/PortChoice.h"
#include "wizard/TemplatePage.h"

class QComboBox;
class QLabel;

namespace wizard {

class CReceiverPicture;
class CScrollText;

using CPortLister = std::function<std::vector<CHERFLoaderLib::CPortEntry>()>;

class CConnectionPage : public CTemplatePage {
public:
    // `lister` and `checker` are called on the list thread; by default the
    // engine's port list and CheckPackage of strPackagePath.
    explicit CConnectionPage(std::string strPackagePath, CPortLister lister = CPortLister(),
                             CPackageChecker checker = CPackageChecker(), QWidget* pParent = nullptr);
    ~CConnectionPage() override;

    void initializePage() override;  // activation
    bool validatePage() override;    // "Connect" pressed
    bool isComplete() const override;

    QLabel* NoteText() const { return m_pNoteText; }
    QComboBox* PortCombo() const { return m_pPortCombo; }
    QLabel* DeviceText() const { return m_pDeviceText; }
    QLabel* PackageText() const;
    CScrollText* PackageArea() const { return m_pPackageText; }

protected:
    void PlaceControls(const CDialogUnits& units) override;

private:
    struct CAnswer {
        std::vector<CHERFLoaderLib::CPortEntry> entries;
        CPackageCheck package;
    };
    void StartFill();
    void FillPortList(uint32_t nFill);
    void OnPortListReady(uint32_t nFill, const CAnswer& answer);
    void ShowSelectedDevice();
    void JoinFillThread();

    QLabel* m_pComLabel;
    QComboBox* m_pPortCombo;
    QLabel* m_pNoteText;
    CReceiverPicture* m_pPicture;
    QLabel* m_pDeviceText;
    CScrollText* m_pPackageText;
    std::string m_strPackagePath;
    CPortLister m_PortLister;
    CPackageChecker m_PackageChecker;
    std::thread m_FillThread;
    uint32_t m_nFill = 0;  // number of the current activation's list fill
    bool m_bListReady = false;
    bool m_bHooked = false;  // the wizard tells the page when the user comes back to it
    bool m_bLeft = false;    // Connect was pressed: coming back fills the list again
    std::vector<CHERFLoaderLib::CPortEntry> m_Entries;  // COM1..COM9 as shown
    CPackageCheck m_Package;                             // as the list thread found it
};

}  // namespace wizard
