// `trailmark ports`: which device each of COM1 to COM9 stands for, and for a
// USB adapter its vendor and product ids, serial number and product name; a
// device set by TRAILMARK_COMn that is not there is marked missing.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "engine/PortService.h"
#include "tools/trailmark/Command.h"
#include "tools/trailmark/JsonWriter.h"

namespace {

// "  [USB 0403:6001, serial A600XYZ, FT232R USB UART]"; empty for a port
// that is no USB adapter.
std::string UsbText(const CHERFLoaderLib::CPortEntry& port)
{
    if (port.strUsbVendorId.empty())
        return std::string();
    std::string text = "  [USB " + port.strUsbVendorId + ":" + port.strUsbProductId;
    if (!port.strUsbSerial.empty())
        text += ", serial " + port.strUsbSerial;
    if (!port.strUsbProduct.empty())
        text += ", " + port.strUsbProduct;
    return text + "]";
}

}  // namespace

void AddPortsCommand(CLI::App& app)
{
    auto json = std::make_shared<bool>(false);
    CLI::App* cmd = app.add_subcommand("ports", "List COM1 to COM9 and the devices they stand for");
    cmd->add_flag("--json", *json, "Print the list as JSON");
    cmd->callback([json] {
        const std::vector<CHERFLoaderLib::CPortEntry> ports = CHERFLoaderLib::ListComPorts();
        if (*json) {
            CJsonWriter writer;
            writer.BeginArray();
            for (const CHERFLoaderLib::CPortEntry& port : ports) {
                writer.BeginObject();
                writer.String("port", "COM" + std::to_string(port.nNumber));
                writer.String("device", port.strDevice);
                writer.String("description", port.strDescription);
                writer.Bool("present", !port.strDevice.empty() && !port.bMissing);
                if (port.strUsbVendorId.empty()) {
                    writer.Null("usb");
                } else {
                    writer.BeginObject("usb");
                    writer.String("vendor_id", port.strUsbVendorId);
                    writer.String("product_id", port.strUsbProductId);
                    writer.String("serial", port.strUsbSerial);
                    writer.String("product", port.strUsbProduct);
                    writer.EndObject();
                }
                writer.EndObject();
            }
            writer.EndArray();
            std::printf("%s\n", writer.Text().c_str());
        } else {
            for (const CHERFLoaderLib::CPortEntry& port : ports)
                std::printf("COM%d:  %-28s %s%s%s\n", port.nNumber,
                            port.strDevice.empty() ? "-" : port.strDevice.c_str(), port.strDescription.c_str(),
                            port.bMissing ? " (missing: no such device)" : "", UsbText(port).c_str());
        }
        SetExitStatus(EXIT_STATUS_OK);
    });
}
