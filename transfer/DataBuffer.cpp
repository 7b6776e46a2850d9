// The staged blocks and the locked list that hands them out.
#include "transfer/DataBuffer.h"

#include <cstring>

CDataBufferItem::CDataBufferItem(const uint8_t* source, uint32_t length, int32_t ramOffset,
                                 uint32_t address)
    : m_nLength(length), m_nRamOffset(ramOffset), m_nAddress(address)
{
    if (length != 0) {
        m_pData = std::make_unique<uint8_t[]>(length);
        if (source != nullptr)
            std::memcpy(m_pData.get(), source, length);
    }
}

void CSyncDataVector::Clear()
{
    m_Items.clear();
}

void CSyncDataVector::Add(const uint8_t* source, uint32_t length, int32_t ramOffset,
                          uint32_t address)
{
    m_Items.push_back(std::make_unique<CDataBufferItem>(source, length, ramOffset, address));
}

int CSyncDataVector::GetCount() const
{
    return static_cast<int>(m_Items.size());
}

void CSyncDataVector::Rewind()
{
    std::lock_guard<std::mutex> guard(m_Lock);
    m_nPosition.store(0, std::memory_order_relaxed);
}

CDataBufferItem* CSyncDataVector::GetNextItem()
{
    std::lock_guard<std::mutex> guard(m_Lock);
    const int32_t nCount = static_cast<int32_t>(m_Items.size());
    int32_t nPosition = m_nPosition.load(std::memory_order_relaxed);
    // Skip blocks already claimed. The cursor stays on the block claimed now,
    // so the next call steps over it; a Rewind therefore never hands a block
    // out twice.
    while (nPosition < nCount && m_Items[static_cast<size_t>(nPosition)]->m_bTaken)
        ++nPosition;
    m_nPosition.store(nPosition, std::memory_order_relaxed);
    if (nPosition >= nCount)
        return nullptr;
    CDataBufferItem* pItem = m_Items[static_cast<size_t>(nPosition)].get();
    pItem->m_bTaken = true;
    return pItem;
}

int CSyncDataVector::GetPosition() const
{
    return m_nPosition.load(std::memory_order_relaxed);
}

const CDataBufferItem* CSyncDataVector::GetItem(int index) const
{
    if (index < 0 || static_cast<size_t>(index) >= m_Items.size())
        return nullptr;
    return m_Items[static_cast<size_t>(index)].get();
}
