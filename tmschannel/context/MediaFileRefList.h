// The media files one state entry uses. Adding a file counts a reference on
// its record; destroying the list takes every reference back, so a record
// whose count is 0 is used by no state and can be closed.
//
// Thread safety: used only under the owning context's lock.
#pragma once

#include "tmschannel/context/MediaFileInfo.h"

#include <vector>

class CMediaFileRefList {
public:
    CMediaFileRefList() = default;
    ~CMediaFileRefList() { Clear(); }
    CMediaFileRefList(const CMediaFileRefList& other) : m_files(other.m_files) {
        for (MediaFileInfo* f : m_files) {
            ++f->refCount;
        }
    }
    CMediaFileRefList& operator=(const CMediaFileRefList& other) {
        if (this != &other) {
            CMediaFileRefList copy(other);
            Clear();
            m_files.swap(copy.m_files);
        }
        return *this;
    }
    CMediaFileRefList(CMediaFileRefList&& other) noexcept : m_files(std::move(other.m_files)) {
        other.m_files.clear();
    }
    CMediaFileRefList& operator=(CMediaFileRefList&& other) noexcept {
        if (this != &other) {
            Clear();
            m_files.swap(other.m_files);
        }
        return *this;
    }

    void Add(MediaFileInfo* info) {
        m_files.push_back(info);
        ++info->refCount;
    }
    void Clear() {
        for (MediaFileInfo* f : m_files) {
            --f->refCount;
        }
        m_files.clear();
    }
    const std::vector<MediaFileInfo*>& Files() const { return m_files; }

private:
    std::vector<MediaFileInfo*> m_files;
};
