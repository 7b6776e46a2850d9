// The wizard's connection page and sheet start-up on Qt's offscreen
// platform: the "COM%d:" parsing, the port list filled off the
// user-interface thread, ports without a device that cannot be chosen, the
// package shown or refused before anything is opened, the Connect button
// and the chosen port number.
#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QStandardItemModel>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/e2e/WizardHarness.h"
#include "wizard/ConnectionPage.h"
#include "wizard/CustomPropertySheet.h"
#include "wizard/Finish.h"
#include "wizard/WizardTexts.h"

using namespace wizard;
using namespace CHERFLoaderLib::LoaderCodes;

namespace {

// Catches: a parser that takes texts the list never holds (no colon, lower
// case, a sign, zero, an overflowing number) or drops what follows the colon.
TEST(WizardComPortText, ParsesComPortEntries)
{
    struct CRow {
        const char* pszText;
        bool bOk;
        int32_t nPort;
    };
    const CRow rows[] = {
        {"COM1:", true, 1},
        {"COM9:", true, 9},
        {"COM4:  /dev/ttyUSB0", true, 4},
        {"COM12:", true, 12},
        {"COM4", false, 0},
        {"COM:", false, 0},
        {"COMx:", false, 0},
        {"com4:", false, 0},
        {" COM4:", false, 0},
        {"COM0:", false, 0},
        {"COM-3:", false, 0},
        {"COM99999999999:", false, 0},
        {"", false, 0},
    };
    for (const CRow& row : rows) {
        SCOPED_TRACE(row.pszText);
        int32_t nPort = 77;
        EXPECT_EQ(ParseComPortText(row.pszText, nPort), row.bOk);
        EXPECT_EQ(nPort, row.bOk ? row.nPort : 77) << "a text that does not match changes nothing";
    }
}

// Catches, for the Windows list (bHigherPorts): a USB adapter numbered above
// COM9 not offered, offered twice, or sorted by its text (COM10: before
// COM2:), and absent high numbers offered; without bHigherPorts nothing
// above COM9 may appear.
TEST(WizardPortChoices, PresentPortsAboveNineFollowInNumberOrder)
{
    const std::vector<platform::CPortEntry> found = {{12, "\\\\.\\COM12", "USB serial adapter B"},
                                                     {10, "\\\\.\\COM10", "USB serial adapter A"},
                                                     {12, "\\\\.\\COM12", "twice"},
                                                     {11, "", "no device"},
                                                     {3, "\\\\.\\COM3", "on-board UART"}};
    const std::vector<platform::CPortEntry> choices = PortChoices(found, true);
    std::vector<int> numbers;
    for (const platform::CPortEntry& entry : choices)
        numbers.push_back(entry.nNumber);
    EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12}));
    EXPECT_EQ(choices[10].strDescription, "USB serial adapter B") << "the first entry of a number wins";
    EXPECT_EQ(choices[2].strDescription, "on-board UART");
    EXPECT_EQ(PortChoices(found, false).size(), 9u);
}

// A list the test hands out when it chooses, so the page's waiting state can
// be seen.
struct CGatedLister {
    std::promise<std::vector<platform::CPortEntry>> answer;
    std::shared_future<std::vector<platform::CPortEntry>> future = answer.get_future().share();
};

class WizardConnection : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestApp();
        g_nComPort = 1;
    }

    void TearDown() override { m_pSheet.reset(); }

    void Build(CPortLister lister, CPackageChecker checker = &AcceptedPackage,
               const std::string& strPackage = "absent.q")
    {
        m_pSheet = std::make_unique<CCustomPropertySheet>(QString::fromUtf8(WIZ_TEXT_CAPTION));
        m_pPage = new CConnectionPage(strPackage, std::move(lister), std::move(checker));
        m_pSheet->addPage(m_pPage);
        m_pSheet->addPage(new CFinish("absent.q", [] { return std::unique_ptr<CJobDriver>(new CNoRunJob); }));
        m_pSheet->show();
    }

    QStringList Entries() const
    {
        QStringList list;
        for (int i = 0; i < m_pPage->PortCombo()->count(); ++i)
            list << m_pPage->PortCombo()->itemText(i);
        return list;
    }

    // A job that never starts, as with a missing package.
    class CNoRunJob : public CJobDriver {
    public:
        bool Start(const std::string&, std::shared_ptr<const CPackageImage>, const CHERFLoaderLib::CPortId&,
                   const CHERFLoaderLib::CJobSettings&, CHERFLoaderLib::CJobSink, std::string& strError) override
        {
            strError = "cannot open absent.q";
            return false;
        }
        bool Cancel() override { return false; }
        bool MayStop() const override { return true; }
        void Stop() override {}
        CHERFLoaderLib::CJobReport Report() const override { return {}; }
    };

    std::unique_ptr<CCustomPropertySheet> m_pSheet;
    CConnectionPage* m_pPage = nullptr;
};

// Catches: Connect pressable before the list exists, the list filled on the
// wrong thread or in the wrong order, devices not shown beside their entries,
// and wrong texts or button labels.
TEST_F(WizardConnection, ListFilledByThreadThenConnectEnabled)
{
    CGatedLister gate;
    Build([future = gate.future] { return future.get(); });

    EXPECT_EQ(m_pPage->NoteText()->text(), WIZ_TEXT_FINDING_PORTS);
    EXPECT_EQ(m_pPage->PortCombo()->count(), 0);
    EXPECT_FALSE(m_pPage->PortCombo()->isEnabled());
    QAbstractButton* pNext = m_pSheet->button(QWizard::NextButton);
    EXPECT_EQ(pNext->text(), "Connect");
    EXPECT_FALSE(pNext->isEnabled());
    EXPECT_FALSE(m_pSheet->button(QWizard::BackButton)->isVisible());
    EXPECT_FALSE(m_pSheet->button(QWizard::HelpButton)->isVisible());
    EXPECT_EQ(m_pSheet->windowTitle(), "GPS Trailmark Pro Series GPS Upgrade");

    gate.answer.set_value({{1, "/dev/ttyUSB0", "USB serial adapter FT232R"},
                           {3, "/dev/ttyS0", "on-board UART"}});
    ASSERT_TRUE(WaitFor([this] { return m_pPage->isComplete(); }));
    const QStringList expected = {"COM1:  /dev/ttyUSB0",      "COM2:  no device present",
                                  "COM3:  /dev/ttyS0",        "COM4:  no device present",
                                  "COM5:  no device present", "COM6:  no device present",
                                  "COM7:  no device present", "COM8:  no device present",
                                  "COM9:  no device present"};
    EXPECT_EQ(Entries(), expected);
    EXPECT_EQ(m_pPage->PortCombo()->currentIndex(), 0);
    EXPECT_TRUE(m_pPage->PortCombo()->isEnabled());
    EXPECT_TRUE(pNext->isEnabled());
    EXPECT_EQ(m_pPage->NoteText()->text(), WIZ_TEXT_SELECT_PORT);
    EXPECT_EQ(m_pPage->DeviceText()->text(), "USB serial adapter FT232R");
    m_pPage->PortCombo()->setCurrentIndex(2);
    EXPECT_EQ(m_pPage->DeviceText()->text(), "on-board UART");
}

// Each row is a port list. Catches: an entry without a device (or whose
// device set by TRAILMARK_COMn is missing) that can be chosen or is not
// shown as such, the port chosen before not selected again, and Connect
// offered when no port can be chosen.
TEST_F(WizardConnection, PortWithoutADeviceCannotBeChosen)
{
    platform::CPortEntry missing{3, "/dev/nonexist", "set by TRAILMARK_COM3"};
    missing.bMissing = true;
    struct CRow {
        const char* pszName;
        std::vector<platform::CPortEntry> entries;
        int32_t nChosenBefore;
        int nSelected;  // -1: none
        const char* pszThird;
        const char* pszDevice;
    };
    const std::vector<CRow> rows = {
        {"the first with a device", {{2, "/dev/ttyS0", "on-board UART"}}, 1, 1, "COM3:  no device present",
         "on-board UART"},
        {"the port chosen before", {{2, "/dev/ttyS0", "on-board UART"}, {4, "/dev/ttyUSB0", "USB"}}, 4, 3,
         "COM3:  no device present", "USB"},
        {"a missing device", {missing, {5, "/dev/ttyUSB0", "USB"}}, 3, 4, "COM3:  /dev/nonexist (missing)", "USB"},
        {"none at all", {}, 1, -1, "COM3:  no device present", WIZ_TEXT_NO_PORTS},
    };
    for (const CRow& row : rows) {
        SCOPED_TRACE(row.pszName);
        g_nComPort = row.nChosenBefore;
        Build([entries = row.entries] { return entries; });
        ASSERT_TRUE(WaitFor([this] { return !m_pPage->NoteText()->text().startsWith("Please wait"); }));
        QComboBox* pCombo = m_pPage->PortCombo();
        EXPECT_EQ(pCombo->currentIndex(), row.nSelected);
        EXPECT_EQ(pCombo->itemText(2), row.pszThird);
        EXPECT_EQ(m_pPage->DeviceText()->text(), row.pszDevice);
        auto* pModel = qobject_cast<QStandardItemModel*>(pCombo->model());
        ASSERT_NE(pModel, nullptr);
        for (int i = 0; i < pCombo->count(); ++i) {
            const bool bPresent = std::any_of(row.entries.begin(), row.entries.end(), [i](const auto& entry) {
                return entry.nNumber == i + 1 && !entry.bMissing;
            });
            EXPECT_EQ(pModel->item(i)->isEnabled(), bPresent) << pCombo->itemText(i).toStdString();
        }
        EXPECT_EQ(m_pSheet->button(QWizard::NextButton)->isEnabled(), row.nSelected >= 0);
        m_pSheet->next();
        EXPECT_EQ(m_pSheet->currentPage() != m_pPage, row.nSelected >= 0);
        TearDown();
    }
}

std::string SamplePackage()
{
    return TRAILMARK_BINARY_DIR "/Corvid_FW_v1.82-Boot.q";
}

// Each row is a package the page reads through the engine. Catches: a page
// that does not say what it will write (name, versions, boards), a missing
// or damaged package reported only after Connect (or not at all), and
// Connect offered for a package that cannot be written.
TEST_F(WizardConnection, PackageShownOrRefusedBeforeAnythingIsOpened)
{
    if (!std::filesystem::exists(SamplePackage()))
        GTEST_SKIP() << "the sample package is made by the full build";
    const std::filesystem::path damaged =
        std::filesystem::temp_directory_path() / ("wizard-damaged-" + std::to_string(getpid()) + ".q");
    {
        std::ifstream in(SamplePackage(), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x5A);
        std::ofstream(damaged, std::ios::binary) << bytes;
    }
    struct CRow {
        const char* pszName;
        std::string strPath;
        bool bUsable;
        std::vector<std::string> texts;
    };
    const std::vector<CRow> rows = {
        {"the sample", SamplePackage(), true,
         {"Package: Corvid_FW_v1.82-Boot.q (\"Corvid FW v1.82 Boot\")",
          "Writes application v1.82 and boot loader v1.82; for boards 5-10."}},
        {"missing", "/nonexistent/Corvid_FW_v1.82-Boot.q", false,
         {WIZ_TEXT_PACKAGE_REFUSED, "cannot open /nonexistent/Corvid_FW_v1.82-Boot.q"}},
        {"damaged", damaged.string(), false, {WIZ_TEXT_PACKAGE_REFUSED, "checksum"}},
    };
    for (const CRow& row : rows) {
        SCOPED_TRACE(row.pszName);
        Build(&PresentPorts, &CheckPackage, row.strPath);
        ASSERT_TRUE(WaitFor([this] { return !m_pPage->PackageText()->text().isEmpty(); }, 10000));
        const QString text = m_pPage->PackageText()->text();
        for (const std::string& part : row.texts)
            EXPECT_TRUE(text.contains(QString::fromStdString(part))) << part << "\n" << text.toStdString();
        EXPECT_EQ(m_pPage->isComplete(), row.bUsable);
        EXPECT_EQ(m_pSheet->button(QWizard::NextButton)->isEnabled(), row.bUsable);
        EXPECT_EQ(m_pPage->NoteText()->text().toStdString(),
                  row.bUsable ? std::string(WIZ_TEXT_SELECT_PORT) : RefusedNote(row.strPath));
        m_pSheet->next();
        EXPECT_EQ(m_pSheet->currentPage() == m_pPage, !row.bUsable) << "a refused package goes no further";
        TearDown();
    }
    std::filesystem::remove(damaged);
}

// Catches: a list that depends on what the platform reports: numbers outside
// 1..9, doubles and a failing lister must still give COM1: to COM9:.
TEST_F(WizardConnection, ListAlwaysHoldsComOneToNine)
{
    struct CRow {
        const char* pszName;
        CPortLister lister;
    };
    const std::vector<CRow> rows = {
        {"odd numbers",
         [] {
             return std::vector<platform::CPortEntry>{
                 {0, "/dev/zero", ""}, {12, "/dev/ttyS9", ""}, {2, "/dev/ttyACM0", ""},
                 {2, "/dev/ttyACM1", ""}};
         }},
        {"lister throws",
         []() -> std::vector<platform::CPortEntry> { throw std::runtime_error("no /sys"); }},
    };
    for (const CRow& row : rows) {
        SCOPED_TRACE(row.pszName);
        Build(row.lister);
        ASSERT_TRUE(WaitFor([this] { return m_pPage->PortCombo()->isEnabled(); }));
        const QStringList entries = Entries();
        ASSERT_EQ(entries.size(), 9);
        for (int n = 1; n <= 9; ++n)
            EXPECT_TRUE(entries[n - 1].startsWith(QString("COM%1:  ").arg(n))) << n;
        EXPECT_FALSE(entries.join(' ').contains("/dev/zero"));
        EXPECT_FALSE(entries.join(' ').contains("/dev/ttyS9"));
        TearDown();
    }
}

// Catches: Connect not storing the chosen number, or storing the wrong one.
TEST_F(WizardConnection, ConnectStoresChosenPort)
{
    const std::vector<std::pair<int, int32_t>> rows = {{0, 1}, {8, 9}, {3, 4}};
    for (const auto& [nIndex, nPort] : rows) {
        SCOPED_TRACE(nPort);
        g_nComPort = 55;
        Build(&PresentPorts);
        ASSERT_TRUE(WaitFor([this] { return m_pPage->isComplete(); }));
        m_pPage->PortCombo()->setCurrentIndex(nIndex);
        m_pSheet->next();
        EXPECT_EQ(g_nComPort, nPort);
        EXPECT_NE(m_pSheet->currentPage(), m_pPage) << "the wizard moves on";
        TearDown();
    }
}

// Catches: a layout that ignores the font, so a larger system font clips the
// one-line texts or leaves the page at its old size.
TEST_F(WizardConnection, LargerFontGrowsThePage)
{
    Build(&PresentPorts);
    ASSERT_TRUE(WaitFor([this] { return m_pPage->isComplete(); }));
    const QSize szBefore = m_pPage->minimumSizeHint();
    QFont font = m_pSheet->font();
    font.setPointSizeF(font.pointSizeF() * 2);
    m_pSheet->setFont(font);
    QCoreApplication::processEvents();
    EXPECT_GT(m_pPage->minimumSizeHint().width(), szBefore.width());
    EXPECT_GT(m_pPage->minimumSizeHint().height(), szBefore.height());
    const QLabel* pLabel = m_pPage->DeviceText();
    EXPECT_GE(m_pPage->PortCombo()->height(), QFontMetrics(font).height());
    EXPECT_GE(pLabel->height(), QFontMetrics(font).height());
    EXPECT_GE(m_pPage->NoteText()->height(), 3 * QFontMetrics(font).height());
}

}  // namespace
