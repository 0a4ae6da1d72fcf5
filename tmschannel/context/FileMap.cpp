#include "tmschannel/context/FileMap.h"

#include "tmschannel/context/FileCodePool.h"

CFileMap::CFileMap() {
    // Make sure the pool exists before the first code is asked for.
    CFileCodePool::Instance();
}

HRESULT CFileMap::AllocateFileCode(std::uint16_t* code) {
    return CFileCodePool::Instance().Allocate(code);
}

HRESULT CFileMap::FreeFileCode(std::uint16_t code) {
    return CFileCodePool::Instance().Free(code);
}

MediaFileInfo* CFileMap::Lookup(const std::string& name) const {
    auto it = m_files.find(name);
    return it == m_files.end() ? nullptr : it->second.get();
}

MediaFileInfo* CFileMap::Enter(const std::string& name, std::unique_ptr<MediaFileInfo> info) {
    auto [it, inserted] = m_files.try_emplace(name, std::move(info));
    if (inserted) {
        it->second->entered = ++m_entered;
    }
    return it->second.get();
}

bool CFileMap::Remove(const std::string& name) {
    return m_files.erase(name) != 0;
}
