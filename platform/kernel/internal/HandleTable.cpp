#include "platform/kernel/internal/HandleTable.h"

namespace tmskernel {

namespace {

// Tag in bits 48-63; the generation in bits 24-47; the slot index + 1 in bits
// 0-23. User-space addresses stay below 2^47, so no tagged value is one.
constexpr std::uintptr_t kTag = 0x7E5Aull << 48;
constexpr std::uintptr_t kTagMask = 0xFFFFull << 48;
constexpr std::uint32_t kGenerationMask = 0xFFFFFF;
constexpr std::size_t kMaxSlots = 0xFFFFFF - 1;

}  // namespace

HandleTable& HandleTable::Instance() {
    static HandleTable table;
    return table;
}

bool HandleTable::Decode(HANDLE h, std::size_t* index, std::uint32_t* generation) const {
    auto v = reinterpret_cast<std::uintptr_t>(h);
    if ((v & kTagMask) != kTag) {
        return false;
    }
    std::size_t slot = v & 0xFFFFFF;
    if (slot == 0) {
        return false;
    }
    *index = slot - 1;
    *generation = static_cast<std::uint32_t>((v >> 24) & kGenerationMask);
    return true;
}

HANDLE HandleTable::Insert(std::shared_ptr<KernelObject> obj) {
    std::lock_guard<std::mutex> lock(m_lock);
    std::size_t index;
    if (!m_free.empty()) {
        index = m_free.back();
        m_free.pop_back();
    } else {
        if (m_slots.size() >= kMaxSlots) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        index = m_slots.size();
        m_slots.emplace_back();
    }
    Slot& slot = m_slots[index];
    slot.object = std::move(obj);
    auto value = kTag | (static_cast<std::uintptr_t>(slot.generation & kGenerationMask) << 24) |
                 static_cast<std::uintptr_t>(index + 1);
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> HandleTable::Lookup(HANDLE h) {
    std::size_t index;
    std::uint32_t generation;
    if (Decode(h, &index, &generation)) {
        std::lock_guard<std::mutex> lock(m_lock);
        if (index < m_slots.size() && m_slots[index].object != nullptr &&
            (m_slots[index].generation & kGenerationMask) == generation) {
            return m_slots[index].object;
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

std::shared_ptr<KernelObject> HandleTable::Remove(HANDLE h) {
    std::size_t index;
    std::uint32_t generation;
    if (Decode(h, &index, &generation)) {
        std::lock_guard<std::mutex> lock(m_lock);
        if (index < m_slots.size() && m_slots[index].object != nullptr &&
            (m_slots[index].generation & kGenerationMask) == generation) {
            Slot& slot = m_slots[index];
            std::shared_ptr<KernelObject> obj = std::move(slot.object);
            slot.object.reset();
            ++slot.generation;
            m_free.push_back(index);
            return obj;
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

}  // namespace tmskernel
