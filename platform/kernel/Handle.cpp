#include "platform/kernel/Handle.h"

#include "platform/kernel/internal/HandleTable.h"

using tmskernel::HandleTable;

BOOL CloseHandle(HANDLE h) {
    // The object may unmap memory or close descriptors as it goes: drop it
    // here, outside the table lock.
    std::shared_ptr<tmskernel::KernelObject> obj = HandleTable::Instance().Remove(h);
    return obj != nullptr ? TRUE : FALSE;
}

HANDLE DuplicateHandle(HANDLE h) {
    std::shared_ptr<tmskernel::KernelObject> obj = HandleTable::Instance().Lookup(h);
    if (obj == nullptr) {
        return nullptr;
    }
    return HandleTable::Instance().Insert(std::move(obj));
}
