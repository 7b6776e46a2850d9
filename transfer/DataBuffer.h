// The staged image: blocks of at most 1024 bytes and the locked list of them.
//
// Staging cuts every section of the package into blocks, each tagged with its
// place relative to the top of the receiver's RAM. During the data upload one
// or two upload threads claim blocks with GetNextItem; the lock makes each
// claim atomic so that no block is sent twice.
//
// Threading: Clear and Add run while no other thread uses the list.
// Rewind and GetNextItem may be called from any number of threads at once.
// GetPosition reads the cursor without the lock (a progress figure only).
// A block's fields other than m_bTaken never change after staging.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

constexpr uint32_t STAGING_BLOCK_SIZE = 1024;

class CDataBufferItem {
public:
    CDataBufferItem(const uint8_t* source, uint32_t length, int32_t ramOffset, uint32_t address);
    virtual ~CDataBufferItem() = default;
    CDataBufferItem(const CDataBufferItem&) = delete;
    CDataBufferItem& operator=(const CDataBufferItem&) = delete;

    std::unique_ptr<uint8_t[]> m_pData;  // private copy; none when the length is 0
    uint32_t m_nLength = 0;
    int32_t m_nRamOffset = 0;  // relative to the top of RAM: always negative
    uint32_t m_nAddress = 0;   // target address of the first byte
    bool m_bTaken = false;     // claimed by an upload thread; guarded by the list's lock
};

class CSyncDataVector {
public:
    CSyncDataVector() = default;
    virtual ~CSyncDataVector() = default;
    CSyncDataVector(const CSyncDataVector&) = delete;
    CSyncDataVector& operator=(const CSyncDataVector&) = delete;

    void Clear();
    void Add(const uint8_t* source, uint32_t length, int32_t ramOffset, uint32_t address);
    int GetCount() const;
    void Rewind();
    // The next block no thread has claimed, now claimed by the caller; null
    // when every block is taken. The list keeps owning the block.
    CDataBufferItem* GetNextItem();
    int GetPosition() const;
    // Block i in staging order (for checks and tools); null when out of range.
    const CDataBufferItem* GetItem(int index) const;

private:
    std::vector<std::unique_ptr<CDataBufferItem>> m_Items;
    std::atomic<int32_t> m_nPosition{0};
    mutable std::mutex m_Lock;
};
