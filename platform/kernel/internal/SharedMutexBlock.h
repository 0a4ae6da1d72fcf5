// The layout of a named mutex's shared-memory object, shared by every process
// that opens the name.
//
// Thread safety: magic is written once, with release order, after the mutex
// is initialised and under the object's creation lock; readers check it with
// acquire order before touching the mutex.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace tmskernel {

constexpr std::uint64_t kNamedMutexMagic = 0x314D534D53544D54ull;  // "TMSMSMM1" little-endian

struct SharedMutexBlock {
    std::atomic<std::uint64_t> magic;  // +0: kNamedMutexMagic once initialised, else 0
    std::uint32_t version;             // +8: 1
    std::uint32_t reserved;            // +12
    pthread_mutex_t mutex;             // +16: robust, process-shared, recursive
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
static_assert(sizeof(SharedMutexBlock) == 56);

}  // namespace tmskernel
