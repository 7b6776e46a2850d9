#include "transfer/PackageImage.h"

#include "transfer/PackageProof.h"
#include "transfer/StagedImage.h"

std::shared_ptr<const CPackageImage> CPackageImage::Load(const std::string& path, std::string& error, bool allowRaw)
{
    std::shared_ptr<CPackageImage> image(new CPackageImage());
    CFirmwareFileEntry& entry = image->m_Entry;
    if (!entry.Load(path.c_str())) {
        error = entry.m_strError.empty() ? "cannot read the firmware package" : entry.m_strError;
        return nullptr;
    }
    if (!StageImage(entry, image->m_Blocks, image->m_wAppVersion, image->m_wBootVersion)) {
        error = entry.m_strError.empty() ? "cannot stage the firmware image" : entry.m_strError;
        return nullptr;
    }
    // A package that no receiver can take whole is refused before any port
    // is touched, with the same reason as `trailmark info` gives.
    if (!ProvePackage(entry, error, allowRaw))
        return nullptr;
    image->m_strRawReason = RawImageReason(entry);
    image->m_strPath = path;
    for (int i = 0; i < image->m_Blocks.GetCount(); ++i)
        image->m_nDataBytes += image->m_Blocks.GetItem(i)->m_nLength;
    return image;
}

void CPackageImage::MakeBlocks(CSyncDataVector& blocks) const
{
    blocks.Clear();
    for (int i = 0; i < m_Blocks.GetCount(); ++i) {
        const CDataBufferItem* block = m_Blocks.GetItem(i);
        blocks.Add(block->m_pData.get(), block->m_nLength, block->m_nRamOffset, block->m_nAddress);
    }
}
