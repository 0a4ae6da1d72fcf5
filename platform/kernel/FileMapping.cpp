#include "platform/kernel/FileMapping.h"

#include "platform/kernel/RuntimeDir.h"
#include "platform/kernel/internal/HandleTable.h"
#include "platform/kernel/internal/SharedMutexBlock.h"
#include "platform/kernel/internal/ShmFile.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace tmskernel {
namespace {

constexpr DWORD kPageSize = 4096;
constexpr DWORD kAllocationGranularity = 65536;

class FileMappingObject : public KernelObject {
public:
    FileMappingObject(CShmFile file, std::uint64_t size)
        : KernelObject(ObjectKind::FileMapping), m_file(std::move(file)), m_size(size) {}

    int Fd() const { return m_file.Fd(); }
    std::uint64_t Size() const { return m_size; }

private:
    CShmFile m_file;
    const std::uint64_t m_size;  // the size as this handle's creator saw it
};

// The views this process has mapped, by base address, so that
// UnmapViewOfFile knows their length.
struct Views {
    std::mutex lock;
    std::map<const void*, std::size_t> lengths;  // guarded by lock
};

Views& TheViews() {
    static Views views;
    return views;
}

// True when the object behind file is a named mutex (its size and magic).
bool IsNamedMutex(CShmFile& file, off_t size) {
    if (size != static_cast<off_t>(sizeof(SharedMutexBlock))) {
        return false;
    }
    std::uint64_t magic = 0;
    return ::pread(file.Fd(), &magic, sizeof magic, 0) == static_cast<ssize_t>(sizeof magic) &&
           magic == kNamedMutexMagic;
}

HANDLE OpenNamed(const char* name, bool create, std::uint64_t size) {
    CShmFile file;
    bool created = false;
    if (!file.Open(RuntimeObjectName(name), create, &created)) {
        return nullptr;
    }
    off_t now = file.Size();
    if (now < 0) {
        return nullptr;
    }
    if (IsNamedMutex(file, now)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (create && static_cast<std::uint64_t>(now) < size) {
        if (!file.GrowTo(static_cast<off_t>(size))) {
            DWORD error = GetLastError();
            if (created) {
                file.UnlinkName();
            }
            SetLastError(error);
            return nullptr;
        }
        now = static_cast<off_t>(size);
    }
    file.Unlock();
    HANDLE h = HandleTable::Instance().Insert(
        std::make_shared<FileMappingObject>(std::move(file), static_cast<std::uint64_t>(now)));
    if (h != nullptr) {
        SetLastError(created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
    }
    return h;
}

}  // namespace
}  // namespace tmskernel

using namespace tmskernel;

void GetSystemInfo(SYSTEM_INFO* info) {
    if (info == nullptr) {
        return;
    }
    std::memset(info, 0, sizeof *info);
    info->dwPageSize = kPageSize;
    info->dwAllocationGranularity = kAllocationGranularity;
    long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    info->dwNumberOfProcessors = cpus > 0 ? static_cast<DWORD>(cpus) : 1;
    info->dwActiveProcessorMask = info->dwNumberOfProcessors >= 64
                                      ? ~std::size_t{0}
                                      : (std::size_t{1} << info->dwNumberOfProcessors) - 1;
    info->lpMinimumApplicationAddress =
        reinterpret_cast<void*>(std::uintptr_t{kAllocationGranularity});
    info->lpMaximumApplicationAddress = reinterpret_cast<void*>(std::uintptr_t{0x7FFFFFFEFFFF});
}

HANDLE CreateFileMapping(HANDLE file, void* /*securityAttributes*/, DWORD protect, DWORD sizeHigh,
                         DWORD sizeLow, const char* name) {
    if (file != INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    std::uint64_t size = (static_cast<std::uint64_t>(sizeHigh) << 32) | sizeLow;
    if (protect != PAGE_READWRITE || size == 0 ||
        size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (name != nullptr && *name != 0) {
        return OpenNamed(name, true, size);
    }
    CShmFile anonymous;
    if (!anonymous.OpenAnonymous() || !anonymous.GrowTo(static_cast<off_t>(size))) {
        return nullptr;
    }
    HANDLE h = HandleTable::Instance().Insert(
        std::make_shared<FileMappingObject>(std::move(anonymous), size));
    if (h != nullptr) {
        SetLastError(ERROR_SUCCESS);
    }
    return h;
}

HANDLE OpenFileMapping(DWORD /*desiredAccess*/, BOOL /*inheritHandle*/, const char* name) {
    if (name == nullptr || *name == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return OpenNamed(name, false, 0);
}

void* MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD offsetHigh, DWORD offsetLow,
                    std::size_t bytes) {
    std::shared_ptr<FileMappingObject> obj =
        HandleTable::Instance().LookupAs<FileMappingObject>(mapping, ObjectKind::FileMapping);
    if (obj == nullptr) {
        return nullptr;
    }
    int prot = 0;
    if ((desiredAccess & FILE_MAP_READ) != 0) {
        prot |= PROT_READ;
    }
    if ((desiredAccess & FILE_MAP_WRITE) != 0) {
        prot |= PROT_READ | PROT_WRITE;
    }
    if (prot == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::uint64_t offset = (static_cast<std::uint64_t>(offsetHigh) << 32) | offsetLow;
    if (offset % kAllocationGranularity != 0) {
        SetLastError(ERROR_MAPPED_ALIGNMENT);
        return nullptr;
    }
    if (offset >= obj->Size() || (bytes != 0 && bytes > obj->Size() - offset)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::size_t length = bytes != 0 ? bytes : static_cast<std::size_t>(obj->Size() - offset);
    void* view = ::mmap(nullptr, length, prot, MAP_SHARED, obj->Fd(), static_cast<off_t>(offset));
    if (view == MAP_FAILED) {
        SetLastError(LastErrorFromErrno(errno));
        return nullptr;
    }
    Views& views = TheViews();
    std::lock_guard<std::mutex> lock(views.lock);
    views.lengths[view] = length;
    return view;
}

BOOL UnmapViewOfFile(const void* base) {
    std::size_t length = 0;
    {
        Views& views = TheViews();
        std::lock_guard<std::mutex> lock(views.lock);
        auto it = views.lengths.find(base);
        if (it == views.lengths.end()) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        length = it->second;
        views.lengths.erase(it);
    }
    ::munmap(const_cast<void*>(base), length);
    return TRUE;
}
