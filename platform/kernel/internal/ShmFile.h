// One open POSIX shared-memory object, and the creation protocol that makes
// "create or open" race-free between processes.
//
// Thread safety: a CShmFile belongs to one thread while it is being opened;
// afterwards the descriptor is only read. The creation lock is an flock() on
// the object itself: it serialises the processes that create, open and
// initialise one name, and the kernel drops it when a holder dies, so a
// creator that died half-way never blocks the next one.
#pragma once

#include "platform/kernel/WinTypes.h"

#include <sys/types.h>

#include <string>

namespace tmskernel {

class CShmFile {
public:
    CShmFile() = default;
    ~CShmFile();
    CShmFile(CShmFile&& other) noexcept;
    CShmFile& operator=(CShmFile&& other) noexcept;
    CShmFile(const CShmFile&) = delete;
    CShmFile& operator=(const CShmFile&) = delete;

    // Opens objectName (a RuntimeObjectName), creating it when create is
    // true, and returns with the creation lock held. *created tells whether
    // this call made the name. False with the last error set on failure
    // (ERROR_FILE_NOT_FOUND when create is false and there is no such object).
    bool Open(const std::string& objectName, bool create, bool* created);

    // An unnamed object that only this process sees (for unnamed mappings).
    bool OpenAnonymous();

    // The creation lock, held from Open until Unlock (or destruction).
    void Unlock();

    // The object's current size; -1 with the last error set on failure.
    off_t Size() const;

    // Grows the object to at least size bytes (never shrinks: other
    // processes may have mapped the larger size). The new bytes read zero.
    bool GrowTo(off_t size);

    // Removes the name (the object lives on while it is open or mapped).
    void UnlinkName();

    int Fd() const { return m_fd; }
    const std::string& Name() const { return m_name; }

private:
    void Close();

    int m_fd = -1;
    bool m_locked = false;
    std::string m_name;
};

}  // namespace tmskernel
