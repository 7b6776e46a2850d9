// The record a run keeps on the host while it holds a receiver in its flash
// monitor, so that a later run that finds the monitor still running (the
// program was killed, the line dropped, the computer went down) knows what
// this one knew: the receiver's board and memory map, its versions before
// the upgrade, the line rate the monitor runs at, and whether the boot
// loader's region was touched.
//
// The session writes the record when the flash work begins (and again just
// before the boot region's first erase) and removes it once the monitor has
// been ended; a receiver whose boot loader answers on the port has no monitor
// running, so a record found for that port then is stale and removed too.
// One file per port and serial number in StateFolder()/interrupted, written
// whole and renamed into place, so a crash never leaves half a record.
//
// Threading: the worker thread alone, one session at a time per port.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace CHERFLoaderLib {

struct CInterruptedRun {
    std::string strPort;              // the port's device (or COMn) as the run opened it
    std::string strSerial;            // the receiver's serial number; may be empty
    int32_t nBoardId = -1;
    std::vector<uint8_t> memoryMap;   // the boot loader's memory-map record; empty when it gave none
    uint16_t wOldAppVersion = 0;      // as the receiver reported them before the upgrade
    uint16_t wOldBootVersion = 0;
    uint32_t nMonitorBaud = 19200;    // the rate the monitor was last switched to
    // The boot region may not hold a whole boot loader: its erase began and
    // the new boot loader was not yet confirmed there.
    bool bBootIncomplete = false;
    std::string strPackage;           // the package the run was writing
};

class CInterruptedRunStore {
public:
    // The folder holding the records; empty disables the store (every
    // operation then does nothing and finds nothing).
    explicit CInterruptedRunStore(std::string folder);
    // The store in the program's state folder.
    static CInterruptedRunStore Default();

    bool Save(const CInterruptedRun& run, std::string& error) const;
    // The record for this port and serial number; with an empty serial the
    // first record for the port. False when there is none or it cannot be
    // read as a record.
    bool Find(const std::string& port, const std::string& serial, CInterruptedRun& run) const;
    void Remove(const std::string& port, const std::string& serial) const;
    // Removes every record of the port.
    void RemoveAll(const std::string& port) const;

private:
    std::string FileFor(const std::string& port, const std::string& serial) const;
    std::vector<std::string> FilesFor(const std::string& port) const;

    std::string m_strFolder;
};

// The record as text, and back; false for text that is not a whole record.
std::string FormatInterruptedRun(const CInterruptedRun& run);
bool ParseInterruptedRun(const std::string& text, CInterruptedRun& run);

}  // namespace CHERFLoaderLib
