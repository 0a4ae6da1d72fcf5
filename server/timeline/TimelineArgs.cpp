#include "server/timeline/TimelineArgs.h"

#include <limits>

#include "platform/com/ComError.h"
#include "platform/com/Utf.h"

std::string TextArg(BSTR text, const char* what) {
    const std::u16string_view view(text == nullptr ? u"" : text, SysStringLen(text));
    for (std::size_t i = 0; i < view.size(); ++i) {
        const char16_t c = view[i];
        if (c == 0) {
            throw CMovieError(E_INVALIDARG, std::string("The ") + what +
                                                " has a NUL character at " + std::to_string(i));
        }
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        const bool low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && i + 1 < view.size() && view[i + 1] >= 0xDC00 && view[i + 1] <= 0xDFFF) {
            ++i;
        } else if (high || low) {
            throw CMovieError(E_INVALIDARG, std::string("The ") + what +
                                                " has an unpaired UTF-16 surrogate at " +
                                                std::to_string(i));
        }
    }
    return Utf16ToUtf8(view);
}

std::int32_t Int32Arg(long value, const char* what) {
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        throw CMovieError(E_INVALIDARG, std::string("The ") + what + " " + std::to_string(value) +
                                            " does not fit 32 bits");
    }
    return static_cast<std::int32_t>(value);
}

void CheckReserved(long value, const char* method) {
    if (value != 0) {
        throw CMovieError(E_INVALIDARG, std::string(method) + ": the reserved argument is " +
                                            std::to_string(value) + ", not 0");
    }
}

CNewBstr NewBstr(const std::string& text) {
    const std::u16string wide = Utf8ToUtf16(text);
    CNewBstr b(SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size())));
    if (!b) {
        _com_issue_error(E_OUTOFMEMORY);
    }
    return b;
}
