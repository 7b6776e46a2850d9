#include "wizard/ConnectionPage.h"

#include <utility>

#include <QComboBox>
#include <QLabel>

#include "wizard/ReceiverPicture.h"
#include "wizard/WizardTexts.h"

namespace wizard {

namespace {
constexpr int CONNECTION_TEMPLATE_WIDTH = 335;
constexpr int CONNECTION_TEMPLATE_HEIGHT = 139;
}  // namespace

CConnectionPage::CConnectionPage(CPortLister lister, QWidget* pParent)
    : CTemplatePage(CONNECTION_TEMPLATE_WIDTH, CONNECTION_TEMPLATE_HEIGHT, pParent),
      m_pComLabel(new QLabel(QString::fromUtf8(WIZ_TEXT_COM_PORT), Canvas())),
      m_pPortCombo(new QComboBox(Canvas())),
      m_pNoteText(new QLabel(QString::fromUtf8(WIZ_TEXT_NOTE), Canvas())),
      m_pPicture(new CReceiverPicture(Canvas())),
      m_pDeviceText(new QLabel(Canvas())),
      m_PortLister(lister ? std::move(lister) : CPortLister([] { return CHERFLoaderLib::ListComPorts(); }))
{
    setButtonText(QWizard::NextButton, QString::fromUtf8(WIZ_TEXT_CONNECT));
    m_pNoteText->setWordWrap(true);
    m_pNoteText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pDeviceText->setWordWrap(true);
    m_pDeviceText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pComLabel->setBuddy(m_pPortCombo);
    m_pPortCombo->setEditable(false);
    m_pPortCombo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    connect(m_pPortCombo, &QComboBox::currentIndexChanged, this, [this] { ShowSelectedDevice(); });
    Relayout();
}

CConnectionPage::~CConnectionPage()
{
    JoinFillThread();
}

void CConnectionPage::PlaceControls(const CDialogUnits& units)
{
    m_pComLabel->setGeometry(units.Rect(175, 69, 40, 11));
    // Wider than the template's 74 units: each entry also names its device.
    m_pPortCombo->setGeometry(units.Rect(215, 67, 116, 14));
    m_pNoteText->setGeometry(units.Rect(175, 6, 156, 59));
    const double dScale = units.PictureScale();
    const QRect rcPicture = units.Rect(7, 7, 0, 0);
    m_pPicture->setGeometry(rcPicture.x(), rcPicture.y(),
                            static_cast<int>(CReceiverPicture::PICTURE_WIDTH * dScale),
                            static_cast<int>(CReceiverPicture::PICTURE_HEIGHT * dScale));
    m_pDeviceText->setGeometry(units.Rect(215, 86, 116, 40));
}

void CConnectionPage::initializePage()
{
    JoinFillThread();
    m_bListReady = false;
    emit completeChanged();
    m_Entries.clear();
    m_pPortCombo->clear();
    m_pPortCombo->setEnabled(false);
    m_pDeviceText->clear();
    m_pNoteText->setText(QString::fromUtf8(WIZ_TEXT_FINDING_PORTS));
    const uint32_t nFill = ++m_nFill;
    m_FillThread = std::thread([this, nFill] { FillPortList(nFill); });
}

void CConnectionPage::FillPortList(uint32_t nFill)
{
    std::vector<CHERFLoaderLib::CPortEntry> entries;
    try {
        entries = m_PortLister();
    } catch (...) {
        // Without device information the nine names are still offered.
        entries.clear();
    }
    // Widgets belong to the user-interface thread: hand the answer over.
    QMetaObject::invokeMethod(
        this, [this, nFill, entries = std::move(entries)] { OnPortListReady(nFill, entries); },
        Qt::QueuedConnection);
}

void CConnectionPage::OnPortListReady(uint32_t nFill,
                                      const std::vector<CHERFLoaderLib::CPortEntry>& entries)
{
    if (nFill != m_nFill)
        return;  // answer of an earlier activation
    m_pPortCombo->clear();
    // Linux names no port above COM9: the list is COM1: to COM9:.
    m_Entries = PortChoices(entries, false);
    for (const CHERFLoaderLib::CPortEntry& entry : m_Entries)
        m_pPortCombo->addItem(QString::fromStdString(PortEntryText(entry.nNumber, entry.strDevice)));
    m_pPortCombo->setCurrentIndex(0);
    m_pPortCombo->setEnabled(true);
    m_bListReady = true;
    emit completeChanged();
    m_pNoteText->setText(QString::fromUtf8(WIZ_TEXT_SELECT_PORT));
    ShowSelectedDevice();
}

void CConnectionPage::ShowSelectedDevice()
{
    const int nIndex = m_pPortCombo->currentIndex();
    if (nIndex < 0 || static_cast<size_t>(nIndex) >= m_Entries.size()) {
        m_pDeviceText->clear();
        return;
    }
    m_pDeviceText->setText(QString::fromStdString(m_Entries[nIndex].strDescription));
}

bool CConnectionPage::validatePage()
{
    ParseComPortText(m_pPortCombo->currentText().toStdString(), g_nComPort);
    return QWizardPage::validatePage();
}

bool CConnectionPage::isComplete() const
{
    return m_bListReady;
}

void CConnectionPage::JoinFillThread()
{
    if (m_FillThread.joinable())
        m_FillThread.join();
}

}  // namespace wizard
