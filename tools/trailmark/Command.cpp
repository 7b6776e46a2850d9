#include "tools/trailmark/Command.h"

#include <cstdio>

#include "package/FirmwareFile.h"
#include "platform/Console.h"
#include "tools/trailmark/JsonWriter.h"
#include "transfer/PackageProof.h"

namespace {
int g_nExitStatus = EXIT_STATUS_OK;
}

void SetExitStatus(int status)
{
    g_nExitStatus = status;
}

int GetExitStatus()
{
    return g_nExitStatus;
}

int Fail(int status, const std::string& message)
{
    // Through the output that stops at its first failure: standard error may
    // be a closed terminal or a full disk while an upgrade goes on.
    platform::WriteOutput(stderr, "trailmark: " + message + "\n");
    return status;
}

int Refuse(bool json, int status, const std::string& reason, const std::string& port)
{
    if (json) {
        CJsonWriter writer;
        writer.BeginObject();
        writer.String("event", "error");
        if (!port.empty())
            writer.String("port", port);
        writer.Signed("exit_status", status);
        writer.String("reason", reason);
        writer.EndObject();
        platform::WriteOutput(stdout, writer.Text() + "\n");
    }
    return Fail(status, reason);
}

bool ParseUint32(const std::string& text, uint32_t& value)
{
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    size_t start = hex ? 2 : 0;
    if (text.size() <= start || text.size() - start > (hex ? 8u : 10u))
        return false;
    uint64_t result = 0;
    for (size_t i = start; i < text.size(); ++i) {
        char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (hex && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (hex && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        result = result * (hex ? 16 : 10) + digit;
    }
    if (result > UINT32_MAX)
        return false;
    value = static_cast<uint32_t>(result);
    return true;
}

int LoadPackageFile(const std::string& path, CFirmwareFileEntry& entry)
{
    if (entry.Load(path.c_str()))
        return EXIT_STATUS_OK;
    std::string reason = entry.m_strError.empty() ? "not a firmware package or image" : entry.m_strError;
    // The reader's texts often name the file already; do not say it twice.
    if (reason.find(path) == std::string::npos)
        reason = path + ": " + reason;
    return Fail(EXIT_STATUS_BAD_PACKAGE, reason);
}

bool LoadProvenPackageFile(const std::string& path, CFirmwareFileEntry& entry, std::string& reason)
{
    if (LoadProvenPackage(path.c_str(), entry, reason))
        return true;
    // The reader's own texts often start with the file's name already.
    if (reason.rfind(path + ":", 0) != 0)
        reason = path + ": " + reason;
    return false;
}

std::string FormatSectionFlags(uint32_t flags)
{
    return SectionFlagNames(flags);
}

const char* KindName(int32_t kind)
{
    switch (kind) {
    case KIND_PACKAGE: return "package";
    case KIND_APP_IMAGE: return "application image";
    case KIND_BOOT_IMAGE: return "boot image";
    default: return "unknown";
    }
}

std::string Hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}
