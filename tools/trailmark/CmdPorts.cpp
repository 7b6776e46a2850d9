// `trailmark ports`: which device each of COM1 to COM9 stands for.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "engine/PortService.h"
#include "tools/trailmark/Command.h"
#include "tools/trailmark/JsonWriter.h"

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
                writer.EndObject();
            }
            writer.EndArray();
            std::printf("%s\n", writer.Text().c_str());
        } else {
            for (const CHERFLoaderLib::CPortEntry& port : ports)
                std::printf("COM%d:  %-28s %s\n", port.nNumber,
                            port.strDevice.empty() ? "-" : port.strDevice.c_str(), port.strDescription.c_str());
        }
        SetExitStatus(EXIT_STATUS_OK);
    });
}
