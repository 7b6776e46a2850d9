#include "wizard/ConnectionPage.h"

#include <utility>

#include <QComboBox>
#include <QLabel>
#include <QStandardItemModel>

#include "wizard/CustomPropertySheet.h"
#include "wizard/DisplayText.h"
#include "wizard/ReceiverPicture.h"
#include "wizard/ScrollText.h"
#include "wizard/WizardTexts.h"

namespace wizard {

namespace {
// Taller than the original 139 units, as the progress page is: the package
// to be written is shown under the picture.
constexpr int CONNECTION_TEMPLATE_WIDTH = 335;
constexpr int CONNECTION_TEMPLATE_HEIGHT = 172;
}  // namespace

CConnectionPage::CConnectionPage(std::string strPackagePath, CPortLister lister, CPackageChecker checker,
                                 QWidget* pParent)
    : CTemplatePage(CONNECTION_TEMPLATE_WIDTH, CONNECTION_TEMPLATE_HEIGHT, pParent),
      m_pComLabel(new QLabel(QString::fromUtf8(WIZ_TEXT_COM_PORT), Canvas())),
      m_pPortCombo(new QComboBox(Canvas())),
      m_pNoteText(new QLabel(QString::fromUtf8(WIZ_TEXT_NOTE), Canvas())),
      m_pPicture(new CReceiverPicture(Canvas())),
      m_pDeviceText(new QLabel(Canvas())),
      m_pPackageText(new CScrollText(Canvas())),
      m_strPackagePath(std::move(strPackagePath)),
      m_PortLister(lister ? std::move(lister) : CPortLister([] { return CHERFLoaderLib::ListComPorts(); })),
      m_PackageChecker(checker ? std::move(checker) : CPackageChecker(&CheckPackage))
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

QLabel* CConnectionPage::PackageText() const
{
    return m_pPackageText->Label();
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
    m_pPackageText->setGeometry(units.Rect(7, 140, 324, 30));
}

void CConnectionPage::initializePage()
{
    if (!m_bHooked && wizard() != nullptr) {
        // Back from the progress page shows this page again without a new
        // activation: the list and the package are looked at again then.
        connect(wizard(), &QWizard::currentIdChanged, this, [this](int nId) {
            if (m_bLeft && wizard()->page(nId) == this) {
                m_bLeft = false;
                StartFill();
            }
        });
        m_bHooked = true;
    }
    m_bLeft = false;
    StartFill();
}

void CConnectionPage::StartFill()
{
    JoinFillThread();
    m_bListReady = false;
    emit completeChanged();
    m_Entries.clear();
    m_pPortCombo->clear();
    m_pPortCombo->setEnabled(false);
    m_pDeviceText->clear();
    m_pPackageText->SetText(QString());
    m_pNoteText->setText(QString::fromUtf8(WIZ_TEXT_FINDING_PORTS));
    const uint32_t nFill = ++m_nFill;
    m_FillThread = std::thread([this, nFill] { FillPortList(nFill); });
}

void CConnectionPage::FillPortList(uint32_t nFill)
{
    CAnswer answer;
    try {
        answer.entries = m_PortLister();
    } catch (...) {
        // Without device information the nine names are still offered.
        answer.entries.clear();
    }
    try {
        answer.package = m_PackageChecker(m_strPackagePath);
    } catch (...) {
        answer.package = CPackageCheck();
        answer.package.strReason = "the package cannot be read";
    }
    // Widgets belong to the user-interface thread: hand the answer over.
    QMetaObject::invokeMethod(
        this, [this, nFill, answer = std::move(answer)] { OnPortListReady(nFill, answer); }, Qt::QueuedConnection);
}

void CConnectionPage::OnPortListReady(uint32_t nFill, const CAnswer& answer)
{
    if (nFill != m_nFill)
        return;  // answer of an earlier activation
    m_pPortCombo->clear();
    // Linux names no port above COM9: the list is COM1: to COM9:.
    m_Entries = PortChoices(answer.entries, false);
    m_Package = answer.package;
    auto* pModel = qobject_cast<QStandardItemModel*>(m_pPortCombo->model());
    for (size_t i = 0; i < m_Entries.size(); ++i) {
        const CHERFLoaderLib::CPortEntry& entry = m_Entries[i];
        m_pPortCombo->addItem(QString::fromStdString(PortEntryText(entry.nNumber, entry.strDevice, entry.bMissing)));
        // A port without a device is shown as such, greyed, and cannot be chosen.
        if (!IsChoosable(entry) && pModel != nullptr)
            pModel->item(static_cast<int>(i))->setEnabled(false);
    }
    m_pPortCombo->setCurrentIndex(ChoiceIndex(m_Entries, g_nComPort));
    m_pPortCombo->setEnabled(true);
    m_bListReady = true;
    m_pNoteText->setText(m_Package.bUsable ? QString::fromUtf8(WIZ_TEXT_SELECT_PORT)
                                           : QString::fromStdString(RefusedNote(m_strPackagePath)));
    m_pPackageText->SetText(ToDisplayText(wizard::PackageText(m_Package).c_str()));
    ShowSelectedDevice();
}

void CConnectionPage::ShowSelectedDevice()
{
    m_pDeviceText->setText(QString::fromStdString(SelectedPortText(m_Entries, m_pPortCombo->currentIndex())));
    emit completeChanged();
}

bool CConnectionPage::validatePage()
{
    if (!isComplete())
        return false;
    ParseComPortText(m_pPortCombo->currentText().toStdString(), g_nComPort);
    if (auto* pSheet = dynamic_cast<CCustomPropertySheet*>(wizard()))
        pSheet->m_pPackage = m_Package.pPackage;
    m_bLeft = true;
    return QWizardPage::validatePage();
}

bool CConnectionPage::isComplete() const
{
    const int nIndex = m_pPortCombo->currentIndex();
    return m_bListReady && m_Package.bUsable && nIndex >= 0 && static_cast<size_t>(nIndex) < m_Entries.size() &&
           IsChoosable(m_Entries[static_cast<size_t>(nIndex)]);
}

void CConnectionPage::JoinFillThread()
{
    if (m_FillThread.joinable())
        m_FillThread.join();
}

}  // namespace wizard
