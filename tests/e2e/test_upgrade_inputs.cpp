// What the user hands `trailmark upgrade` besides the package: the ports
// file, the ports themselves and the option bits. Each is checked before
// anything starts, never blocks, and under --json comes as the one error
// object.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/ToolRun.h"

namespace fs = std::filesystem;
using namespace toolrun;

namespace {

class UpgradeInputs : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/trailmark-inputs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_Folder = pattern;
        // A pseudo-terminal stands for a serial device that exists.
        m_nMaster = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(m_nMaster, 0);
        ASSERT_EQ(grantpt(m_nMaster), 0);
        ASSERT_EQ(unlockpt(m_nMaster), 0);
        m_strPty = ptsname(m_nMaster);
        fs::create_symlink(m_strPty, m_Folder / "link");
        fs::create_directory(m_Folder / "dir");
        ASSERT_EQ(mkfifo((m_Folder / "fifo").c_str(), 0600), 0);
        Write("bom-crlf.txt", "\xEF\xBB\xBF/dev/trailmark-no-such-port\r\n# bench 1\r\n\r\n");
        // Exactly the limit: comment lines, then the port.
        const std::string port = "/dev/trailmark-no-such-port\n";
        Write("limit.txt", std::string(64 * 1024 - port.size() - 1, '#') + "\n" + port);
        Write("large.txt", std::string(64 * 1024 + 1, '#'));
    }
    void TearDown() override
    {
        if (m_nMaster >= 0)
            close(m_nMaster);
        fs::remove_all(m_Folder);
    }
    void Write(const char* name, const std::string& text)
    {
        std::ofstream(m_Folder / name, std::ios::binary) << text;
    }
    // {PTY} stands for the pseudo-terminal's device, {RECEIVER} for the
    // virtual receiver's port.
    std::string Fill(std::string text, const std::string& receiver) const
    {
        for (const auto& [key, value] : {std::pair<std::string, std::string>{"{PTY}", m_strPty}, {"{RECEIVER}", receiver}})
            for (size_t at = text.find(key); at != std::string::npos; at = text.find(key))
                text.replace(at, key.size(), value);
        return text;
    }

    fs::path m_Folder;
    int m_nMaster = -1;
    std::string m_strPty;
};

struct CInputRow {
    const char* m_pszName;
    std::vector<std::string> m_Args;  // after "upgrade"
    std::vector<std::string> m_Env;
    int m_nStatus;
    const char* m_pszErr;  // starts a line of stderr
    const char* m_pszOut;  // starts stdout, which is then one line; null: not looked at
};

const std::string NO_PORT_ERROR = "trailmark: /dev/trailmark-no-such-port: no such serial device";

}  // namespace

// Catches a ports file read from a device without end or blocked on a FIFO,
// a folder reported as a missing --port, a byte-order mark or CR taken into
// a port's name, one device named twice through a link or a COM number, a
// bare "163" read as decimal, option bits opening ports the user never
// named, usage errors that a script asking for JSON gets only as text, and a
// run log that lost its line ending in success.
TEST_F(UpgradeInputs, RefusedBeforeAnythingStartsOrTakenAsMeant)
{
    const std::string sample = SAMPLE;
    const std::vector<CInputRow> rows = {
        {"device without end", {"--ports-from", "/dev/zero"}, {}, 2,
         "trailmark: --ports-from: /dev/zero is not a regular file", ""},
        {"FIFO without a writer", {"--ports-from", "fifo"}, {}, 2, "trailmark: --ports-from: fifo is not a regular file", ""},
        {"folder", {"--ports-from", "dir"}, {}, 2, "trailmark: --ports-from: dir is a folder", ""},
        {"larger than 64 KiB", {"--ports-from", "large.txt"}, {}, 2,
         "trailmark: --ports-from: large.txt is larger than a ports file may be (64 KiB)", ""},
        {"exactly 64 KiB", {"--ports-from", "limit.txt", "--package", sample}, {}, 3, NO_PORT_ERROR.c_str(), nullptr},
        {"byte-order mark and CR line ends", {"--ports-from", "bom-crlf.txt", "--package", sample}, {}, 3,
         NO_PORT_ERROR.c_str(), nullptr},
        {"one device directly and through a link", {"--port", "{PTY}", "--port", "./link"}, {}, 2,
         "trailmark: --port: './link' is the same device as '{PTY}'", ""},
        {"one device as a COM number and a path", {"--port", "COM3", "--port", "{PTY}"}, {"TRAILMARK_COM3={PTY}"}, 2,
         "trailmark: --port: '{PTY}' is the same device as 'COM3'", ""},
        {"secondary port on the primary's device", {"--port", "{PTY}", "--secondary-port", "./link"}, {}, 2,
         "trailmark: --secondary-port: './link' is the same device as '{PTY}'", ""},
        {"options without a base", {"--port", "{PTY}", "--options", "163"}, {}, 2,
         "trailmark: --options: '163' has no base: write 0x163 for the hexadecimal bits", ""},
        {"options not a number", {"--port", "{PTY}", "--options", "0x16g"}, {}, 2,
         "trailmark: --options: '0x16g' is not a number", ""},
        {"JSON: options without a base", {"--json", "--port", "{PTY}", "--options", "163"}, {}, 2,
         "trailmark: --options: '163'", "{\"event\":\"error\",\"exit_status\":2,\"reason\":\"--options: '163' has no base"},
        {"JSON: ports file a folder", {"--json", "--ports-from", "dir"}, {}, 2, "trailmark: --ports-from: dir",
         "{\"event\":\"error\",\"exit_status\":2,\"reason\":\"--ports-from: dir is a folder"},
        {"JSON: unknown option", {"--json", "--port", "{PTY}", "--bogus"}, {}, 2,
         "trailmark: The following argument was not expected: --bogus",
         "{\"event\":\"error\",\"exit_status\":2,\"reason\":\"The following argument was not expected: --bogus"},
        {"JSON: option without its value", {"--json", "--port"}, {}, 2, "trailmark: ",
         "{\"event\":\"error\",\"exit_status\":2,\"reason\":\""},
        // COM2 and COM4 lead nowhere: a run that opened them would fail to
        // start with exit 3.
        {"bits asking for ports not named",
         {"--port", "{RECEIVER}", "--options", "0x169", "--no-retry", "-q", "--package", sample},
         {"TRAILMARK_COM2=/dev/trailmark-no-such-com2", "TRAILMARK_COM4=/dev/trailmark-no-such-com4"}, 0,
         "trailmark: options 0x169 ask for a second port, but no --secondary-port was given, and a third port, but no "
         "--third-port was given: the run uses 0x163, only the ports named",
         nullptr},
        // The receiver is upgraded, but its line of the run log is lost.
        {"run log that cannot be written", {"--port", "{RECEIVER}", "--log", "/dev/full", "-q", "--package", sample},
         {}, 1, "trailmark: --log: cannot write to /dev/full", nullptr},
    };
    for (const CInputRow& row : rows) {
        SCOPED_TRACE(row.m_pszName);
        std::unique_ptr<CReceiverProcess> receiver;
        std::string port;
        for (const std::string& arg : row.m_Args)
            if (arg == "{RECEIVER}") {
                receiver = std::make_unique<CReceiverProcess>(m_Folder);
                port = receiver->Port();
                ASSERT_FALSE(port.empty());
            }
        std::vector<std::string> args{"upgrade"}, env;
        for (const std::string& arg : row.m_Args)
            args.push_back(Fill(arg, port));
        for (const std::string& item : row.m_Env)
            env.push_back(Fill(item, port));
        const CToolResult run = RunTool(m_Folder, args, env, 60);
        ASSERT_FALSE(run.m_bTimedOut) << "the program blocked";
        EXPECT_EQ(run.m_nStatus, row.m_nStatus) << run.m_strErr;
        const std::string err = Fill(row.m_pszErr, port);
        EXPECT_TRUE(run.m_strErr.rfind(err, 0) == 0 || run.m_strErr.find("\n" + err) != std::string::npos)
            << run.m_strErr;
        if (row.m_pszOut != nullptr && row.m_pszOut[0] == '\0') {
            EXPECT_EQ(run.m_strOut, "");
        } else if (row.m_pszOut != nullptr) {
            EXPECT_EQ(run.m_strOut.rfind(row.m_pszOut, 0), 0u) << run.m_strOut;
            EXPECT_EQ(CountLines(run.m_strOut), 1u) << run.m_strOut;
        }
    }
    // Nothing was ever written to the pseudo-terminal named by mistake.
    char byte = 0;
    fcntl(m_nMaster, F_SETFL, O_NONBLOCK);
    EXPECT_LT(read(m_nMaster, &byte, 1), 1);
}
