#include "platform/com/SystemErrorText.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace {

struct TextEntry {
    std::uint32_t code;
    const char* text;
};

// HRESULTs of the COM and OLE Automation facilities, sorted by code.
constexpr std::array kComTexts{
    TextEntry{0x8000000Au, "The data necessary to complete this operation is not yet available."},
    TextEntry{0x80004001u, "Not implemented"},
    TextEntry{0x80004002u, "No such interface supported"},
    TextEntry{0x80004003u, "Invalid pointer"},
    TextEntry{0x80004004u, "Operation aborted"},
    TextEntry{0x80004005u, "Unspecified error"},
    TextEntry{0x8000FFFFu, "Catastrophic failure"},
    TextEntry{0x80020003u, "Member not found."},
    TextEntry{0x80020004u, "Parameter not found."},
    TextEntry{0x80020005u, "Type mismatch."},
    TextEntry{0x80020006u, "Unknown name."},
    TextEntry{0x80020008u, "Bad variable type."},
    TextEntry{0x80020009u, "Exception occurred."},
    TextEntry{0x8002000Au, "Out of present range."},
    TextEntry{0x8002000Bu, "Invalid index."},
    TextEntry{0x8002000Du, "Memory is locked."},
    TextEntry{0x8002000Eu, "Invalid number of parameters."},
    TextEntry{0x80020012u, "Division by zero."},
    TextEntry{0x8002802Bu, "Element not found."},
    TextEntry{0x80040110u, "Class does not support aggregation (or class object is remote)"},
    TextEntry{0x80040111u, "ClassFactory cannot supply requested class"},
    TextEntry{0x80040154u, "Class not registered"},
    TextEntry{0x800401F0u, "CoInitialize has not been called."},
    TextEntry{0x800401F3u, "Invalid class string"},
};

// Win32 error codes, sorted by code. HRESULT_FROM_WIN32(code) and the plain
// code share the text.
constexpr std::array kWin32Texts{
    TextEntry{0, "The operation completed successfully."},
    TextEntry{1, "Incorrect function."},
    TextEntry{2, "The system cannot find the file specified."},
    TextEntry{3, "The system cannot find the path specified."},
    TextEntry{4, "The system cannot open the file."},
    TextEntry{5, "Access is denied."},
    TextEntry{6, "The handle is invalid."},
    TextEntry{8, "Not enough memory resources are available to process this command."},
    TextEntry{13, "The data is invalid."},
    TextEntry{14, "Not enough memory resources are available to complete this operation."},
    TextEntry{15, "The system cannot find the drive specified."},
    TextEntry{18, "There are no more files."},
    TextEntry{21, "The device is not ready."},
    TextEntry{32,
              "The process cannot access the file because it is being used by another process."},
    TextEntry{33,
              "The process cannot access the file because another process has locked a portion "
              "of the file."},
    TextEntry{38, "Reached the end of the file."},
    TextEntry{50, "The request is not supported."},
    TextEntry{80, "The file exists."},
    TextEntry{87, "The parameter is incorrect."},
    TextEntry{109, "The pipe has been ended."},
    TextEntry{112, "There is not enough space on the disk."},
    TextEntry{122, "The data area passed to a system call is too small."},
    TextEntry{123, "The filename, directory name, or volume label syntax is incorrect."},
    TextEntry{170, "The requested resource is in use."},
    TextEntry{183, "Cannot create a file when that file already exists."},
    TextEntry{234, "More data is available."},
    TextEntry{258, "The wait operation timed out."},
    TextEntry{995,
              "The I/O operation has been aborted because of either a thread exit or an "
              "application request."},
    TextEntry{997, "Overlapped I/O operation is in progress."},
    TextEntry{1167, "The device is not connected."},
    TextEntry{1450, "Insufficient system resources exist to complete the requested service."},
    TextEntry{1460, "This operation returned because the timeout period expired."},
    TextEntry{1722, "The RPC server is unavailable."},
};

template <std::size_t N>
constexpr bool IsSorted(const std::array<TextEntry, N>& table) {
    for (std::size_t i = 1; i < N; ++i) {
        if (table[i - 1].code >= table[i].code) {
            return false;
        }
    }
    return true;
}
static_assert(IsSorted(kComTexts) && IsSorted(kWin32Texts), "text tables must be sorted");

template <std::size_t N>
const char* Find(const std::array<TextEntry, N>& table, std::uint32_t code) {
    auto it = std::lower_bound(table.begin(), table.end(), code,
                               [](const TextEntry& e, std::uint32_t c) { return e.code < c; });
    return it != table.end() && it->code == code ? it->text : nullptr;
}

}  // namespace

bool GetSystemErrorText(HRESULT hr, std::string* text) {
    const auto code = static_cast<std::uint32_t>(hr);
    const char* found = nullptr;
    if (code <= 0xFFFFu) {
        found = Find(kWin32Texts, code);
    } else if ((code & 0xFFFF0000u) == 0x80070000u) {
        found = Find(kWin32Texts, code & 0xFFFFu);
    } else {
        found = Find(kComTexts, code);
    }
    if (found == nullptr) {
        return false;
    }
    if (text != nullptr) {
        *text = found;
    }
    return true;
}
