// CConnectionPage: the wizard's first page, where the user picks the COM port.
//
// Activation shows a please-wait note, empties and disables the port list and
// starts a short-lived thread that asks the engine's port service which
// device stands for each of COM1: to COM9:. When the thread is done the list
// holds the nine entries (each with the device it stands for, or that none is
// present), COM1: is selected and the Next button, labelled "Connect", is
// enabled. Pressing it stores the chosen number in g_nComPort, where the
// progress page finds it.
//
// Threading: the page lives on the user-interface thread. The list thread
// only calls the port lister and posts its answer back; the page joins it
// before starting another and in its destructor, so it never outlives the
// page.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/PortService.h"
#include "wizard/PortChoice.h"
#include "wizard/TemplatePage.h"

class QComboBox;
class QLabel;

namespace wizard {

class CReceiverPicture;

using CPortLister = std::function<std::vector<CHERFLoaderLib::CPortEntry>()>;

class CConnectionPage : public CTemplatePage {
public:
    // `lister` is called on the list thread; by default the engine's port list.
    explicit CConnectionPage(CPortLister lister = CPortLister(), QWidget* pParent = nullptr);
    ~CConnectionPage() override;

    void initializePage() override;  // activation
    bool validatePage() override;    // "Connect" pressed
    bool isComplete() const override;

    QLabel* NoteText() const { return m_pNoteText; }
    QComboBox* PortCombo() const { return m_pPortCombo; }
    QLabel* DeviceText() const { return m_pDeviceText; }

protected:
    void PlaceControls(const CDialogUnits& units) override;

private:
    void FillPortList(uint32_t nFill);
    void OnPortListReady(uint32_t nFill, const std::vector<CHERFLoaderLib::CPortEntry>& entries);
    void ShowSelectedDevice();
    void JoinFillThread();

    QLabel* m_pComLabel;
    QComboBox* m_pPortCombo;
    QLabel* m_pNoteText;
    CReceiverPicture* m_pPicture;
    QLabel* m_pDeviceText;
    CPortLister m_PortLister;
    std::thread m_FillThread;
    uint32_t m_nFill = 0;  // number of the current activation's list fill
    bool m_bListReady = false;
    std::vector<CHERFLoaderLib::CPortEntry> m_Entries;  // COM1..COM9 as shown
};

}  // namespace wizard
