#include "receiver/ReceiverMemory.h"

#include "receiver/FrameCodec.h"

#include <algorithm>
#include <cstring>

bool FindReceiverChip(const std::string& name, CReceiverChip_Info& chip)
{
    chip = CReceiverChip_Info();
    chip.m_strName = name;
    if (name == "AT49BV16X4") {
        chip.m_wDevice = RXM_DEVICE_AT49BV16X4;
        chip.m_nSize = 0x200000;
        chip.m_SectorSizes.assign(8, 0x2000);
        chip.m_SectorSizes.insert(chip.m_SectorSizes.end(), 31, 0x10000);
        chip.m_nRegionASize = 0x10000;
        chip.m_nAppSize = 0xD0000;
        chip.m_nUpperStart = 0x01100000;
        chip.m_nUpperSize = 0x100000;
        return true;
    }
    if (name == "AT49LV8011") {
        chip.m_wDevice = RXM_DEVICE_AT49LV8011;
        chip.m_nSize = 0x100000;
        chip.m_SectorSizes = {0x4000, 0x8000, 0x2000, 0x2000, 0x2000, 0x2000, 0x8000, 0x4000};
        chip.m_SectorSizes.insert(chip.m_SectorSizes.end(), 14, 0x10000);
        chip.m_nRegionASize = 0x2000;
        chip.m_nAppSize = 0x90000;
        chip.m_nUpperStart = 0x010B0000;
        chip.m_nUpperSize = 0x50000;
        return true;
    }
    return false;
}

CReceiverBoard_Info GetReceiverBoard(int boardId)
{
    CReceiverBoard_Info board;
    if (boardId >= 0 && boardId <= 3) {
        board.m_nMapType = 0;
        board.m_nRamBase = 0x05000000;
        board.m_nRamSize = boardId >= 2 ? 0x100000 : 0x80000;
        board.m_nMonitorAddress = 0x100000;
        board.m_nRamValueA = 0x100000;
        board.m_nRamValueB = 0x20000;
        return board;
    }
    // Boards 4 to 10 are XERF2; a board outside the table still needs RAM to
    // run, so it gets the largest XERF2 layout but no monitor class.
    board.m_nMapType = (boardId >= 4 && boardId <= 10) ? 1 : -1;
    board.m_nRamBase = 0x00400000;
    board.m_nRamSize = (boardId >= 4 && boardId <= 6) ? 0x100000 : 0x200000;
    board.m_nMonitorAddress = 0x20000;
    board.m_nRamValueA = 0x20000;
    board.m_nRamValueB = 0x20000;
    return board;
}

CReceiverMemory::CReceiverMemory(int boardId, const CReceiverChip_Info& chip)
    : m_Chip(chip), m_Board(GetReceiverBoard(boardId))
{
    uint32_t at = RXM_FLASH_BASE;
    for (uint32_t size : m_Chip.m_SectorSizes) {
        m_SectorStarts.push_back(at);
        at += size;
    }
    m_Ram.assign(m_Board.m_nRamSize, 0);
    m_Monitor.assign(RXM_MONITOR_AREA_SIZE, 0);
    m_Flash.assign(m_Chip.m_nSize, 0xFF);
}

static bool Inside(uint32_t address, uint32_t length, uint32_t base, size_t size)
{
    if (address < base)
        return false;
    uint64_t offset = address - base;
    return offset + length <= size;
}

ERxArea CReceiverMemory::Area(uint32_t address, uint32_t length) const
{
    if (Inside(address, length, m_Board.m_nRamBase, m_Ram.size()))
        return RXA_RAM;
    if (Inside(address, length, m_Board.m_nMonitorAddress, m_Monitor.size()))
        return RXA_MONITOR;
    if (Inside(address, length, RXM_FLASH_BASE, m_Flash.size()))
        return RXA_FLASH;
    return RXA_NONE;
}

uint8_t* CReceiverMemory::Bytes(ERxArea area, uint32_t address)
{
    return const_cast<uint8_t*>(static_cast<const CReceiverMemory*>(this)->Bytes(area, address));
}

const uint8_t* CReceiverMemory::Bytes(ERxArea area, uint32_t address) const
{
    switch (area) {
    case RXA_RAM:
        return m_Ram.data() + (address - m_Board.m_nRamBase);
    case RXA_MONITOR:
        return m_Monitor.data() + (address - m_Board.m_nMonitorAddress);
    case RXA_FLASH:
        return m_Flash.data() + (address - RXM_FLASH_BASE);
    default:
        return nullptr;
    }
}

bool CReceiverMemory::Read(uint32_t address, uint8_t* out, uint32_t length) const
{
    ERxArea area = Area(address, length);
    if (area == RXA_NONE)
        return false;
    if (length)
        std::memcpy(out, Bytes(area, address), length);
    return true;
}

bool CReceiverMemory::WriteRam(uint32_t address, const uint8_t* data, uint32_t length)
{
    ERxArea area = Area(address, length);
    if (area != RXA_RAM && area != RXA_MONITOR)
        return false;
    if (length)
        std::memcpy(Bytes(area, address), data, length);
    return true;
}

uint8_t* CReceiverMemory::RamPointer(uint32_t address, uint32_t length)
{
    ERxArea area = Area(address, length);
    if (area != RXA_RAM && area != RXA_MONITOR)
        return nullptr;
    return Bytes(area, address);
}

bool CReceiverMemory::ByteSum(uint32_t address, uint32_t length, uint32_t& sum) const
{
    ERxArea area = Area(address, length);
    if (area == RXA_NONE)
        return false;
    const uint8_t* p = Bytes(area, address);
    sum = 0;
    for (uint32_t i = 0; i < length; ++i)
        sum += p[i];
    return true;
}

int CReceiverMemory::SectorStartingAt(uint32_t address) const
{
    auto it = std::find(m_SectorStarts.begin(), m_SectorStarts.end(), address);
    return it == m_SectorStarts.end() ? -1 : static_cast<int>(it - m_SectorStarts.begin());
}

int CReceiverMemory::SectorContaining(uint32_t address) const
{
    for (int i = 0; i < SectorCount(); ++i) {
        if (address >= m_SectorStarts[i] && address - m_SectorStarts[i] < SectorSize(i))
            return i;
    }
    return -1;
}

bool CReceiverMemory::EraseSector(int index)
{
    if (index < 0 || index >= SectorCount())
        return false;
    std::memset(m_Flash.data() + (m_SectorStarts[index] - RXM_FLASH_BASE), 0xFF, SectorSize(index));
    return true;
}

CReceiverMemory::EProgram CReceiverMemory::Program(uint32_t address, const uint8_t* data,
                                                   uint32_t length)
{
    if (Area(address, length) != RXA_FLASH)
        return PROGRAM_OUTSIDE;
    uint8_t* p = m_Flash.data() + (address - RXM_FLASH_BASE);
    bool mismatch = false;
    for (uint32_t i = 0; i < length; ++i) {
        p[i] &= data[i];
        if (p[i] != data[i])
            mismatch = true;
    }
    return mismatch ? PROGRAM_MISMATCH : PROGRAM_OK;
}

bool CReceiverMemory::LoadFlash(uint32_t address, const uint8_t* data, uint32_t length)
{
    if (Area(address, length) != RXA_FLASH)
        return false;
    if (length)
        std::memcpy(m_Flash.data() + (address - RXM_FLASH_BASE), data, length);
    return true;
}

void CReceiverMemory::ClearRam()
{
    std::fill(m_Ram.begin(), m_Ram.end(), 0);
    std::fill(m_Monitor.begin(), m_Monitor.end(), 0);
}

bool CReceiverMemory::SwapRam(std::vector<uint8_t>& other)
{
    if (other.size() != m_Ram.size())
        return false;
    m_Ram.swap(other);
    return true;
}

std::vector<uint8_t> CReceiverMemory::MemoryMapRecord() const
{
    std::vector<uint8_t> r(RXM_MEMORY_MAP_SIZE, 0);
    RxPutLe16(&r[0], RXM_MANUFACTURER_CODE);
    RxPutLe16(&r[2], m_Chip.m_wDevice);
    const uint32_t words[] = {RXM_FLASH_BASE,         m_Chip.m_nSize,
                              RXM_BOOT_START,         RXM_BOOT_SIZE,
                              0x01010000,             m_Chip.m_nRegionASize,
                              0x0100E000,             0x2000,
                              RXM_APP_START,          m_Chip.m_nAppSize,
                              m_Chip.m_nUpperStart,   m_Chip.m_nUpperSize,
                              m_Board.m_nRamValueA,   m_Board.m_nRamValueB,
                              m_Board.m_nMonitorAddress, m_Board.m_nRamBase,
                              m_Board.m_nRamSize};
    for (size_t i = 0; i < sizeof words / sizeof words[0]; ++i)
        RxPutLe32(&r[4 + 4 * i], words[i]);
    return r;
}
