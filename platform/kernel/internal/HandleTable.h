// The process-wide table that turns HANDLE values into kernel objects.
//
// Thread safety: all members may be called from any thread; the table has its
// own lock, never held while an object is destroyed or while the kernel lock
// is taken.
//
// A handle value encodes a slot index and the slot's generation under a tag in
// the top bits, so it never equals a real address, null or
// INVALID_HANDLE_VALUE, and a closed handle stays invalid even after its slot
// is reused.
#pragma once

#include "platform/kernel/Handle.h"
#include "platform/kernel/ThreadAnnotations.h"
#include "platform/kernel/internal/KernelObject.h"

#include <memory>
#include <mutex>
#include <vector>

namespace tmskernel {

class HandleTable {
public:
    static HandleTable& Instance();

    // A new handle to obj; null with ERROR_NOT_ENOUGH_MEMORY when the table
    // is full.
    HANDLE Insert(std::shared_ptr<KernelObject> obj);

    // The object behind h, or null with ERROR_INVALID_HANDLE.
    std::shared_ptr<KernelObject> Lookup(HANDLE h);

    // As Lookup, and also null with ERROR_INVALID_HANDLE when the object is
    // not of the kind asked for.
    template <class T>
    std::shared_ptr<T> LookupAs(HANDLE h, ObjectKind kind) {
        std::shared_ptr<KernelObject> obj = Lookup(h);
        if (obj == nullptr || obj->Kind() != kind) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        return std::static_pointer_cast<T>(obj);
    }

    // Removes h and hands back its object so the caller drops it outside the
    // table lock; null with ERROR_INVALID_HANDLE.
    std::shared_ptr<KernelObject> Remove(HANDLE h);

private:
    struct Slot {
        std::shared_ptr<KernelObject> object;
        std::uint32_t generation = 0;
    };

    bool Decode(HANDLE h, std::size_t* index, std::uint32_t* generation) const;

    std::mutex m_lock;
    std::vector<Slot> m_slots;        // guarded by m_lock
    std::vector<std::size_t> m_free;  // guarded by m_lock
};

}  // namespace tmskernel
