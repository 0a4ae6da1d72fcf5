// The entry-point trace every operation runs in. It holds the operation's
// text and result, where a failure was raised, and writes failures to the
// error log as one chain: the message records, then one entry-point record
// naming the operation. Nothing is logged on entry or on success.
//
// Thread safety: a trace belongs to the thread that opened it and is never
// shared. The error log it writes to is safe for concurrent use.
//
// Text is UTF-8; formats are printf formats ("%s" takes a narrow string).
#pragma once

#include "platform/kernel/LocalTime.h"
#include "tmschannel/frame/EntryPointBase.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>
#include <utility>

namespace tmsframe {
// The first error message logged on the calling thread since the last
// TakeFailureText: what a failing public operation reports to its caller.
void NoteFailureText(const char* message);
std::string TakeFailureText();
}  // namespace tmsframe

// Component code of every trace this component opens.
constexpr LONG TMS_COMPONENT_CODE = 5;

class CEntryPoint : public CEntryPointBase {
public:
    static constexpr std::size_t kEntryTextSize = 128;  // 127 characters + NUL
    static constexpr std::size_t kSourceFileSize = 32;  // 31 characters + NUL
    static constexpr std::size_t kMessageSize = 512;    // 511 characters + NUL
    static constexpr std::size_t kRecordPiece = 127;    // characters per log record
    static constexpr std::size_t kEventMessageSize = 1024;

    CEntryPoint();
    explicit CEntryPoint(const char* format, ...) __attribute__((format(printf, 2, 3)));
    CEntryPoint(const CEntryPoint& other);
    CEntryPoint& operator=(const CEntryPoint& other);
    ~CEntryPoint() override = default;

    // The HRESULT check: stores hr as the result (and as the chain id); when hr
    // is a failure, writes the entry-point record and throws hr as a LONG.
    CEntryPoint& operator=(LONG hr);

    // Records where a failure was raised: the base name of file (after the
    // last '/' or '\\'), at most 31 characters, and the line.
    void SetLocation(const char* file, int line);

    LONG LogEntryPoint() override;
    LONG LogError(HRESULT hr, const char* file, int line, const char* format, ...) override
        __attribute__((format(printf, 5, 6)));
    virtual BOOL LogMsg(const char* format, ...) __attribute__((format(printf, 2, 3)));
    virtual int LogOwnerInfo(LONG a, const char* s1, const char* s2, const char* s3, const char* s4,
                             LONG b);
    virtual BOOL Trace(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // va_list forms, for the error frame and the raise routine.
    LONG LogErrorV(HRESULT hr, const char* file, int line, const char* format, va_list args);
    BOOL LogMsgV(const char* format, va_list args);
    BOOL TraceV(const char* format, va_list args);

    HRESULT Result() const { return m_result; }
    void SetResult(HRESULT hr) { m_result = hr; }
    // The formatted entry text (formatted on first use when it was deferred).
    const char* EntryText() const;
    const char* SourceFile() const { return m_sourceFile; }
    int Line() const { return m_line; }
    bool Logged() const { return m_logged != FALSE; }
    void SetLogged() { m_logged = TRUE; }
    LONG ComponentCode() const { return m_componentCode; }
    void SetComponentCode(LONG code) { m_componentCode = code; }
    LONG ChainId() const { return m_chainId; }
    DWORD StartTick() const { return m_startTick; }

protected:
    // Formats the entry text (at most 127 characters) from a va_list.
    void SetEntryTextV(const char* format, va_list args);
    const char* EntryTextForEvent() const override { return EntryText(); }

    // Deferred entry text: the text is read only when an operation fails, so
    // a successful call keeps the format and its arguments and never formats.
    // Text arguments are copied at once into m_entryStrings (an argument
    // holds its offset there): the caller's text may change or go before the
    // trace prints, as a channel id that a configuration read replaces.
    union DeferredArg {
        std::int64_t i;
        std::uint64_t u;
        double d;
        const void* p;
    };
    static constexpr std::size_t kMaxDeferredArgs = 8;
    // Room for the copied texts: the entry text is cut at 127 characters, so
    // no longer copy could show; twice that keeps each text's terminator.
    static constexpr std::size_t kEntryStringsSize = 2 * kEntryTextSize;
    static constexpr std::int64_t kNullText = -1;
    using DeferredFormatter = void (*)(char* out, std::size_t size, const char* format,
                                       const DeferredArg* args, const char* strings);
    void SetDeferredEntryText(const char* format, DeferredFormatter formatter) {
        m_entryFormat = format;
        m_entryFormatter = formatter;
        m_entryText[0] = 0;
    }
    DeferredArg* DeferredArgs() { return m_entryArgs; }
    // Copies text (cut to the room left) and returns its offset in
    // m_entryStrings, or kNullText for a null pointer.
    std::int64_t KeepText(const char* text);
    void MarkLoggedWithResult(HRESULT hr) override;

private:
    BOOL WriteMessage(LONG level, const char* format, va_list args);

    mutable char m_entryText[kEntryTextSize];
    // Set while the entry text waits to be formatted; cleared once it is.
    mutable const char* m_entryFormat = nullptr;
    DeferredFormatter m_entryFormatter = nullptr;
    DeferredArg m_entryArgs[kMaxDeferredArgs];
    char m_entryStrings[kEntryStringsSize];
    std::size_t m_entryStringsUsed = 0;
    char m_sourceFile[kSourceFileSize];
    int m_line;
    [[maybe_unused]] int m_reserved1;  // set by the constructor, never read
    DWORD m_startTick;
    [[maybe_unused]] DWORD m_reserved2;  // never read
    SYSTEMTIME m_time;
    BOOL m_logged;
    HRESULT m_result;
    LONG m_componentCode;
    LONG m_chainId;
};

// The trace the component opens for its own operations: component code 5.
// Its arguments are kept, not formatted, until a failure needs the text;
// texts are copied when the trace opens, so the text printed is the one the
// operation started with even if the caller's string has changed or gone.
class CTmsEntryPoint : public CEntryPoint {
public:
    template <class... Args>
    explicit CTmsEntryPoint(const char* format, Args... args) : CEntryPoint() {
        static_assert(sizeof...(Args) <= kMaxDeferredArgs, "too many trace arguments");
        static_assert((IsTraceArg<Args>() && ...), "trace arguments are numbers or pointers");
        DeferredArg* slot = DeferredArgs();
        ((Store(*slot++, args)), ...);
        SetDeferredEntryText(format, &FormatDeferred<Args...>);
        SetComponentCode(TMS_COMPONENT_CODE);
    }
    using CEntryPoint::operator=;

private:
    template <class T>
    static constexpr bool IsTraceArg() {
        return std::is_arithmetic_v<T> || std::is_pointer_v<T> || std::is_enum_v<T>;
    }
    template <class T>
    static constexpr bool IsText() {
        return std::is_pointer_v<T> &&
               std::is_same_v<std::remove_cv_t<std::remove_pointer_t<T>>, char>;
    }
    template <class T>
    void Store(DeferredArg& slot, T v) {
        if constexpr (IsText<T>()) {
            slot.i = KeepText(v);
        } else if constexpr (std::is_floating_point_v<T>) {
            slot.d = v;
        } else if constexpr (std::is_pointer_v<T>) {
            slot.p = v;
        } else if constexpr (std::is_enum_v<T>) {
            slot.i = static_cast<std::int64_t>(v);
        } else if constexpr (std::is_signed_v<T>) {
            slot.i = v;
        } else {
            slot.u = static_cast<std::uint64_t>(v);
        }
    }
    template <class T>
    static auto Load(const DeferredArg& slot, const char* strings) {
        if constexpr (IsText<T>()) {
            return slot.i == kNullText ? static_cast<const char*>(nullptr) : strings + slot.i;
        } else if constexpr (std::is_floating_point_v<T>) {
            return static_cast<T>(slot.d);
        } else if constexpr (std::is_pointer_v<T>) {
            return static_cast<T>(const_cast<void*>(slot.p));
        } else {
            return static_cast<T>(slot.i);
        }
    }
    template <class... Args, std::size_t... I>
    static void FormatWith(char* out, std::size_t size, const char* format, const DeferredArg* args,
                           [[maybe_unused]] const char* strings, std::index_sequence<I...>) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
        std::snprintf(out, size, format, Promote(Load<Args>(args[I], strings))...);
#pragma GCC diagnostic pop
    }
    template <class T>
    static auto Promote(T v) {
        if constexpr (std::is_enum_v<T>) {
            return static_cast<std::underlying_type_t<T>>(v);
        } else {
            return v;
        }
    }
    template <class... Args>
    static void FormatDeferred(char* out, std::size_t size, const char* format,
                               const DeferredArg* args, const char* strings) {
        FormatWith<Args...>(out, size, format, args, strings, std::index_sequence_for<Args...>{});
    }
};
