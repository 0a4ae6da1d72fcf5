// VariantChangeType: the OLE Automation conversions between the numeric,
// boolean, date and text types (see Variant.h for the rules).
#include "platform/com/ComPtr.h"
#include "platform/com/IDispatch.h"
#include "platform/com/Utf.h"
#include "platform/com/Variant.h"
#include "platform/com/VariantDetail.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

namespace {

// A numeric value on its way between types: exact integers stay integers.
struct Number {
    enum class Kind { kSigned, kUnsigned, kReal };
    Kind kind = Kind::kSigned;
    std::int64_t s = 0;
    std::uint64_t u = 0;
    double d = 0;
    bool fromBool = false;  // true is -1; it fills every bit of an unsigned type
};

Number Signed(std::int64_t v) {
    Number n;
    n.s = v;
    return n;
}

Number Unsigned(std::uint64_t v) {
    Number n;
    n.kind = Number::Kind::kUnsigned;
    n.u = v;
    return n;
}

Number Real(double v) {
    Number n;
    n.kind = Number::Kind::kReal;
    n.d = v;
    return n;
}

// Round half to even, as OLE Automation rounds reals that become integers.
double RoundHalfEven(double x) {
    double r = std::floor(x);
    const double diff = x - r;
    if (diff > 0.5 || (diff == 0.5 && std::fmod(r, 2.0) != 0.0)) {
        r += 1.0;
    }
    return r;
}

template <class T>
HRESULT ToSigned(const Number& n, T* out) {
    constexpr auto lo = std::numeric_limits<T>::min();
    constexpr auto hi = std::numeric_limits<T>::max();
    switch (n.kind) {
        case Number::Kind::kSigned:
            if (n.s < lo || n.s > hi) {
                return DISP_E_OVERFLOW;
            }
            *out = static_cast<T>(n.s);
            return S_OK;
        case Number::Kind::kUnsigned:
            if (n.u > static_cast<std::uint64_t>(hi)) {
                return DISP_E_OVERFLOW;
            }
            *out = static_cast<T>(n.u);
            return S_OK;
        case Number::Kind::kReal: {
            const double r = RoundHalfEven(n.d);
            // hi + 1 is a power of two, exact as a double even for 64 bits.
            if (!(r >= static_cast<double>(lo) && r < static_cast<double>(hi) + 1.0)) {
                return DISP_E_OVERFLOW;  // NaN lands here too
            }
            *out = static_cast<T>(r);
            return S_OK;
        }
    }
    return DISP_E_TYPEMISMATCH;
}

template <class T>
HRESULT ToUnsigned(const Number& n, T* out) {
    constexpr auto hi = std::numeric_limits<T>::max();
    switch (n.kind) {
        case Number::Kind::kSigned:
            if (n.fromBool) {
                *out = static_cast<T>(n.s);
                return S_OK;
            }
            if (n.s < 0 || static_cast<std::uint64_t>(n.s) > hi) {
                return DISP_E_OVERFLOW;
            }
            *out = static_cast<T>(n.s);
            return S_OK;
        case Number::Kind::kUnsigned:
            if (n.u > hi) {
                return DISP_E_OVERFLOW;
            }
            *out = static_cast<T>(n.u);
            return S_OK;
        case Number::Kind::kReal: {
            const double r = RoundHalfEven(n.d);
            if (!(r >= 0.0 && r < static_cast<double>(hi) + 1.0)) {
                return DISP_E_OVERFLOW;
            }
            *out = static_cast<T>(r);
            return S_OK;
        }
    }
    return DISP_E_TYPEMISMATCH;
}

double AsDouble(const Number& n) {
    switch (n.kind) {
        case Number::Kind::kSigned:
            return static_cast<double>(n.s);
        case Number::Kind::kUnsigned:
            return static_cast<double>(n.u);
        case Number::Kind::kReal:
            return n.d;
    }
    return 0;
}

// The range of dates: 0100-01-01 to 9999-12-31 23:59:59.
constexpr double kMinDate = -657434.0;
constexpr double kMaxDateExclusive = 2958466.0;

HRESULT NumberToTarget(const Number& n, VARTYPE vt, VARIANT* out) {
    HRESULT hr = S_OK;
    switch (vt) {
        case VT_BOOL: {
            bool value = false;
            switch (n.kind) {
                case Number::Kind::kSigned:
                    value = n.s != 0;
                    break;
                case Number::Kind::kUnsigned:
                    value = n.u != 0;
                    break;
                case Number::Kind::kReal:
                    value = n.d != 0.0;
                    break;
            }
            out->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        }
        case VT_I1: {
            std::int8_t v = 0;
            hr = ToSigned(n, &v);
            out->cVal = static_cast<char>(v);
            break;
        }
        case VT_I2:
            hr = ToSigned(n, &out->iVal);
            break;
        case VT_I4:
            hr = ToSigned(n, &out->lVal);
            break;
        case VT_INT:
            hr = ToSigned(n, &out->intVal);
            break;
        case VT_I8:
            hr = ToSigned(n, &out->llVal);
            break;
        case VT_UI1:
            hr = ToUnsigned(n, &out->bVal);
            break;
        case VT_UI2:
            hr = ToUnsigned(n, &out->uiVal);
            break;
        case VT_UI4:
            hr = ToUnsigned(n, &out->ulVal);
            break;
        case VT_UINT:
            hr = ToUnsigned(n, &out->uintVal);
            break;
        case VT_UI8:
            hr = ToUnsigned(n, &out->ullVal);
            break;
        case VT_R4: {
            const double d = AsDouble(n);
            if (d > FLT_MAX || d < -FLT_MAX) {
                return DISP_E_OVERFLOW;
            }
            out->fltVal = static_cast<float>(d);
            break;
        }
        case VT_R8:
            out->dblVal = AsDouble(n);
            break;
        case VT_DATE: {
            const double d = AsDouble(n);
            if (!(d >= kMinDate && d < kMaxDateExclusive)) {
                return DISP_E_OVERFLOW;
            }
            out->date = d;
            break;
        }
        default:
            return DISP_E_TYPEMISMATCH;
    }
    if (SUCCEEDED(hr)) {
        out->vt = vt;
    }
    return hr;
}

HRESULT ToNumber(const VARIANT& v, Number* n) {
    switch (v.vt) {
        case VT_EMPTY:
            *n = Signed(0);
            return S_OK;
        case VT_BOOL:
            *n = Signed(v.boolVal != VARIANT_FALSE ? -1 : 0);
            n->fromBool = true;
            return S_OK;
        case VT_I1:
            *n = Signed(static_cast<std::int8_t>(v.cVal));
            return S_OK;
        case VT_I2:
            *n = Signed(v.iVal);
            return S_OK;
        case VT_I4:
            *n = Signed(v.lVal);
            return S_OK;
        case VT_INT:
            *n = Signed(v.intVal);
            return S_OK;
        case VT_I8:
            *n = Signed(v.llVal);
            return S_OK;
        case VT_UI1:
            *n = Unsigned(v.bVal);
            return S_OK;
        case VT_UI2:
            *n = Unsigned(v.uiVal);
            return S_OK;
        case VT_UI4:
            *n = Unsigned(v.ulVal);
            return S_OK;
        case VT_UINT:
            *n = Unsigned(v.uintVal);
            return S_OK;
        case VT_UI8:
            *n = Unsigned(v.ullVal);
            return S_OK;
        case VT_R4:
            *n = Real(v.fltVal);
            return S_OK;
        case VT_R8:
            *n = Real(v.dblVal);
            return S_OK;
        case VT_DATE:
            *n = Real(v.date);
            return S_OK;
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

// --- Text -------------------------------------------------------------------

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

// The text without surrounding blanks, as ASCII; false when it holds any
// other character (no number, boolean or date is written with one).
bool ToAsciiTrimmed(std::u16string_view text, std::string* out) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    out->clear();
    for (char16_t c : text) {
        if (c > 0x7F) {
            return false;
        }
        out->push_back(static_cast<char>(c));
    }
    return true;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return true;
}

Number Negated(std::uint64_t magnitude) {
    // -2^63 is the one magnitude above INT64_MAX that stays an integer.
    if (magnitude <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return Signed(-static_cast<std::int64_t>(magnitude));
    }
    if (magnitude == static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1) {
        return Signed(std::numeric_limits<std::int64_t>::min());
    }
    return Real(-static_cast<double>(magnitude));
}

// "&H1F" and "&O17": the digits after the prefix in that radix.
HRESULT ParseRadix(std::string_view digits, int radix, bool negative, Number* n) {
    if (digits.empty()) {
        return DISP_E_TYPEMISMATCH;
    }
    std::uint64_t value = 0;
    const auto [end, ec] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, radix);
    if (end != digits.data() + digits.size()) {
        return ec == std::errc::result_out_of_range ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH;
    }
    if (ec == std::errc::result_out_of_range) {
        return DISP_E_OVERFLOW;
    }
    *n = negative ? Negated(value) : Unsigned(value);
    return S_OK;
}

HRESULT ParseNumberText(std::u16string_view text, Number* n) {
    std::string t;
    if (!ToAsciiTrimmed(text, &t) || t.empty()) {
        return DISP_E_TYPEMISMATCH;
    }
    std::string_view body(t);
    bool negative = false;
    if (body.front() == '+' || body.front() == '-') {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }
    if (body.size() >= 2 && body[0] == '&') {
        const char radix = Lower(body[1]);
        if (radix == 'h') {
            return ParseRadix(body.substr(2), 16, negative, n);
        }
        if (radix == 'o') {
            return ParseRadix(body.substr(2), 8, negative, n);
        }
        return DISP_E_TYPEMISMATCH;
    }

    // digits [. digits] [e [sign] digits], with at least one mantissa digit.
    std::size_t i = 0;
    int intDigits = 0;        // significant integer digits (leading zeros skipped)
    int leadingFraction = 0;  // zeros right after the point before a significant digit
    bool anyDigit = false;
    bool nonZero = false;
    while (i < body.size() && IsDigit(body[i])) {
        anyDigit = true;
        if (nonZero || body[i] != '0') {
            nonZero = true;
            ++intDigits;
        }
        ++i;
    }
    bool isInteger = true;
    if (i < body.size() && body[i] == '.') {
        isInteger = false;
        ++i;
        bool significant = nonZero;
        while (i < body.size() && IsDigit(body[i])) {
            anyDigit = true;
            if (body[i] != '0') {
                nonZero = true;
                significant = true;
            } else if (!significant) {
                ++leadingFraction;
            }
            ++i;
        }
    }
    if (!anyDigit) {
        return DISP_E_TYPEMISMATCH;
    }
    long exponent = 0;
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
        isInteger = false;
        ++i;
        bool negativeExponent = false;
        if (i < body.size() && (body[i] == '+' || body[i] == '-')) {
            negativeExponent = body[i] == '-';
            ++i;
        }
        if (i >= body.size() || !IsDigit(body[i])) {
            return DISP_E_TYPEMISMATCH;
        }
        while (i < body.size() && IsDigit(body[i])) {
            if (exponent < 100000) {
                exponent = exponent * 10 + (body[i] - '0');
            }
            ++i;
        }
        if (negativeExponent) {
            exponent = -exponent;
        }
    }
    if (i != body.size()) {
        return DISP_E_TYPEMISMATCH;
    }

    if (isInteger) {
        std::uint64_t magnitude = 0;
        const auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), magnitude);
        if (ec == std::errc() && end == body.data() + body.size()) {
            *n = negative ? Negated(magnitude) : Unsigned(magnitude);
            return S_OK;
        }
        // Too many digits for 64 bits: carry on as a real.
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
    if (end != body.data() + body.size()) {
        return DISP_E_TYPEMISMATCH;
    }
    if (ec == std::errc::result_out_of_range) {
        // Decimal magnitude of the text tells overflow from underflow.
        const long magnitude =
            nonZero ? (intDigits > 0 ? intDigits : -leadingFraction) + exponent : 0;
        if (magnitude > 0) {
            return DISP_E_OVERFLOW;
        }
        value = 0;
    } else if (ec != std::errc()) {
        return DISP_E_TYPEMISMATCH;
    }
    *n = Real(negative ? -value : value);
    return S_OK;
}

HRESULT ParseBoolText(std::u16string_view text, bool* out) {
    std::string t;
    if (ToAsciiTrimmed(text, &t)) {
        if (EqualsNoCase(t, "true")) {
            *out = true;
            return S_OK;
        }
        if (EqualsNoCase(t, "false")) {
            *out = false;
            return S_OK;
        }
    }
    Number n;
    const HRESULT hr = ParseNumberText(text, &n);
    if (hr == DISP_E_OVERFLOW) {
        *out = true;  // too large for any type, but certainly not zero
        return S_OK;
    }
    if (FAILED(hr)) {
        return hr;
    }
    VARIANT v{};
    NumberToTarget(n, VT_BOOL, &v);
    *out = v.boolVal != VARIANT_FALSE;
    return S_OK;
}

// --- Dates ------------------------------------------------------------------

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
constexpr std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t* y, unsigned* m, unsigned* d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<std::int64_t>(yoe) + era * 400 + (*m <= 2 ? 1 : 0);
}

constexpr std::int64_t kDateEpoch = DaysFromCivil(1899, 12, 30);
static_assert(DaysFromCivil(1970, 1, 1) == 0 && kDateEpoch == -25569);

bool IsLeap(std::int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned DaysInMonth(std::int64_t y, unsigned m) {
    constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

HRESULT FormatDate(DATE date, std::string* out) {
    if (!(date >= kMinDate && date < kMaxDateExclusive)) {
        return DISP_E_OVERFLOW;
    }
    const double whole = std::trunc(date);
    auto days = static_cast<std::int64_t>(whole);
    // The fraction is the time of day on either side of day 0.
    auto seconds = static_cast<std::int64_t>(std::llround(std::fabs(date - whole) * 86400.0));
    if (seconds >= 86400) {
        if (static_cast<double>(days + 1) >= kMaxDateExclusive) {
            seconds = 86399;  // the last second there is, rather than a day past the range
        } else {
            seconds -= 86400;
            days += 1;
        }
    }
    char buffer[80];  // room for the widest year a 64-bit day count gives
    const int hh = static_cast<int>(seconds / 3600);
    const int mm = static_cast<int>(seconds / 60 % 60);
    const int ss = static_cast<int>(seconds % 60);
    if (days == 0) {
        std::snprintf(buffer, sizeof(buffer), "%02d:%02d:%02d", hh, mm, ss);
    } else {
        std::int64_t y = 0;
        unsigned m = 0;
        unsigned d = 0;
        CivilFromDays(days + kDateEpoch, &y, &m, &d);
        if (seconds == 0) {
            std::snprintf(buffer, sizeof(buffer), "%04lld-%02u-%02u", static_cast<long long>(y), m,
                          d);
        } else {
            std::snprintf(buffer, sizeof(buffer), "%04lld-%02u-%02u %02d:%02d:%02d",
                          static_cast<long long>(y), m, d, hh, mm, ss);
        }
    }
    *out = buffer;
    return S_OK;
}

// A cursor over date text.
class DateScanner {
public:
    explicit DateScanner(std::string_view text) : m_text(text) {}

    bool AtEnd() const { return m_pos == m_text.size(); }
    char Peek() const { return AtEnd() ? '\0' : m_text[m_pos]; }
    bool Skip(char c) {
        if (Peek() != c) {
            return false;
        }
        ++m_pos;
        return true;
    }
    void SkipBlanks() {
        while (Peek() == ' ') {
            ++m_pos;
        }
    }
    // 1 to maxDigits decimal digits.
    bool Number(int maxDigits, int* value) {
        int v = 0;
        int count = 0;
        while (count < maxDigits && IsDigit(Peek())) {
            v = v * 10 + (m_text[m_pos++] - '0');
            ++count;
        }
        *value = v;
        return count > 0;
    }
    std::string_view Rest() const { return m_text.substr(m_pos); }
    void SkipAll() { m_pos = m_text.size(); }

private:
    std::string_view m_text;
    std::size_t m_pos = 0;
};

// H:MM[:SS] [AM|PM] to seconds of the day.
bool ParseTime(DateScanner* s, int* seconds) {
    int h = 0;
    int m = 0;
    int sec = 0;
    if (!s->Number(2, &h) || !s->Skip(':') || !s->Number(2, &m)) {
        return false;
    }
    if (s->Skip(':') && !s->Number(2, &sec)) {
        return false;
    }
    s->SkipBlanks();
    const std::string_view rest = s->Rest();
    if (EqualsNoCase(rest, "am") || EqualsNoCase(rest, "pm")) {
        if (h < 1 || h > 12) {
            return false;
        }
        h = h % 12 + (EqualsNoCase(rest, "pm") ? 12 : 0);
        s->SkipAll();
    }
    if (h > 23 || m > 59 || sec > 59) {
        return false;
    }
    *seconds = h * 3600 + m * 60 + sec;
    return true;
}

HRESULT ParseDateText(std::u16string_view text, DATE* out) {
    std::string t;
    if (!ToAsciiTrimmed(text, &t) || t.empty()) {
        return DISP_E_TYPEMISMATCH;
    }
    DateScanner s(t);
    int first = 0;
    if (!s.Number(4, &first)) {
        return DISP_E_TYPEMISMATCH;
    }
    int year = 0;
    int month = 0;
    int day = 0;
    bool hasDate = true;
    if (s.Peek() == '-') {  // YYYY-MM-DD
        year = first;
        if (!s.Skip('-') || !s.Number(2, &month) || !s.Skip('-') || !s.Number(2, &day)) {
            return DISP_E_TYPEMISMATCH;
        }
    } else if (s.Peek() == '/') {  // M/D/YYYY
        month = first;
        if (!s.Skip('/') || !s.Number(2, &day) || !s.Skip('/') || !s.Number(4, &year)) {
            return DISP_E_TYPEMISMATCH;
        }
    } else {
        hasDate = false;
        s = DateScanner(t);
    }
    std::int64_t days = 0;
    if (hasDate) {
        if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1 ||
            static_cast<unsigned>(day) > DaysInMonth(year, static_cast<unsigned>(month))) {
            return DISP_E_TYPEMISMATCH;
        }
        days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
               kDateEpoch;
        if (!s.AtEnd() && !s.Skip('T')) {
            if (s.Peek() != ' ') {
                return DISP_E_TYPEMISMATCH;
            }
            s.SkipBlanks();
        }
    }
    int seconds = 0;
    if (!s.AtEnd() && !ParseTime(&s, &seconds)) {
        return DISP_E_TYPEMISMATCH;
    }
    if (!s.AtEnd()) {
        return DISP_E_TYPEMISMATCH;
    }
    const double time = seconds / 86400.0;
    *out = static_cast<double>(days) + (days < 0 ? -time : time);
    return S_OK;
}

// --- Conversion -------------------------------------------------------------

template <class T>
std::string IntegerText(T value) {
    char buffer[24];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return std::string(buffer, ec == std::errc() ? end : buffer);
}

template <class T>
std::string RealText(T value) {
    if (value == 0) {
        return "0";  // negative zero too
    }
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof(buffer), value);
    std::string text(buffer, ec == std::errc() ? end : buffer);
    for (char& c : text) {
        if (c == 'e') {
            c = 'E';
        }
    }
    return text;
}

HRESULT FormatText(const VARIANT& v, std::string* out) {
    switch (v.vt) {
        case VT_EMPTY:
            out->clear();
            return S_OK;
        case VT_BOOL:
            *out = v.boolVal != VARIANT_FALSE ? "True" : "False";
            return S_OK;
        case VT_I1:
            *out = IntegerText(static_cast<int>(static_cast<std::int8_t>(v.cVal)));
            return S_OK;
        case VT_UI1:
            *out = IntegerText(static_cast<unsigned>(v.bVal));
            return S_OK;
        case VT_I2:
            *out = IntegerText(v.iVal);
            return S_OK;
        case VT_UI2:
            *out = IntegerText(v.uiVal);
            return S_OK;
        case VT_I4:
            *out = IntegerText(v.lVal);
            return S_OK;
        case VT_UI4:
            *out = IntegerText(v.ulVal);
            return S_OK;
        case VT_INT:
            *out = IntegerText(v.intVal);
            return S_OK;
        case VT_UINT:
            *out = IntegerText(v.uintVal);
            return S_OK;
        case VT_I8:
            *out = IntegerText(v.llVal);
            return S_OK;
        case VT_UI8:
            *out = IntegerText(v.ullVal);
            return S_OK;
        case VT_R4:
            *out = RealText(v.fltVal);
            return S_OK;
        case VT_R8:
            *out = RealText(v.dblVal);
            return S_OK;
        case VT_DATE:
            return FormatDate(v.date, out);
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

HRESULT ConvertInterface(const VARIANT& src, VARTYPE vt, VARIANT* out) {
    IUnknown* object = nullptr;
    if (src.vt == VT_UNKNOWN) {
        object = src.punkVal;
    } else if (src.vt == VT_DISPATCH) {
        object = src.pdispVal;
    } else {
        return DISP_E_TYPEMISMATCH;
    }
    void* result = nullptr;
    if (object != nullptr) {
        const HRESULT hr =
            object->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &result);
        if (FAILED(hr)) {
            return hr;
        }
    }
    out->vt = vt;
    if (vt == VT_DISPATCH) {
        out->pdispVal = static_cast<IDispatch*>(result);
    } else {
        out->punkVal = static_cast<IUnknown*>(result);
    }
    return S_OK;
}

// Converts a value that is not by reference into an empty out.
HRESULT Convert(const VARIANT& src, VARTYPE vt, VARIANT* out) {
    if (src.vt == vt) {
        return VariantCopy(out, &src);
    }
    if (((src.vt | vt) & VT_ARRAY) != 0) {
        return DISP_E_TYPEMISMATCH;
    }
    if (vt == VT_EMPTY) {
        return S_OK;
    }
    if (vt == VT_NULL) {
        if (src.vt != VT_EMPTY) {
            return DISP_E_TYPEMISMATCH;
        }
        out->vt = VT_NULL;
        return S_OK;
    }
    if (src.vt == VT_NULL) {
        return DISP_E_TYPEMISMATCH;
    }
    if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        return ConvertInterface(src, vt, out);
    }
    if (src.vt == VT_UNKNOWN || src.vt == VT_DISPATCH || src.vt == VT_ERROR || vt == VT_ERROR) {
        return DISP_E_TYPEMISMATCH;
    }
    if (vt == VT_BSTR) {
        std::string text;
        const HRESULT hr = FormatText(src, &text);
        if (FAILED(hr)) {
            return hr;
        }
        BSTR bstr = nullptr;
        if (!text.empty()) {
            const std::u16string wide = NarrowToUtf16(text);
            bstr = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
            if (bstr == nullptr) {
                return E_OUTOFMEMORY;
            }
        }
        out->vt = VT_BSTR;
        out->bstrVal = bstr;
        return S_OK;
    }
    Number n;
    if (src.vt == VT_BSTR) {
        const std::u16string_view text(src.bstrVal == nullptr ? u"" : src.bstrVal,
                                       SysStringLen(src.bstrVal));
        if (vt == VT_BOOL) {
            bool value = false;
            const HRESULT hr = ParseBoolText(text, &value);
            if (SUCCEEDED(hr)) {
                out->vt = VT_BOOL;
                out->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
            }
            return hr;
        }
        if (vt == VT_DATE) {
            DATE date = 0;
            if (SUCCEEDED(ParseDateText(text, &date))) {
                out->vt = VT_DATE;
                out->date = date;
                return S_OK;
            }
        }
        const HRESULT hr = ParseNumberText(text, &n);
        if (FAILED(hr)) {
            return hr;
        }
    } else {
        const HRESULT hr = ToNumber(src, &n);
        if (FAILED(hr)) {
            return hr;
        }
    }
    return NumberToTarget(n, vt, out);
}

}  // namespace

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt) {
    if (dest == nullptr || src == nullptr) {
        return E_INVALIDARG;
    }
    if (!variant_detail::IsValidVariantType(vt) || (vt & VT_BYREF) != 0) {
        return DISP_E_BADVARTYPE;
    }
    if (!variant_detail::IsValidVariantType(src->vt)) {
        return DISP_E_BADVARTYPE;
    }
    VARIANT view;
    HRESULT hr = variant_detail::Dereference(*src, &view);
    if (FAILED(hr)) {
        return hr;
    }
    VARIANT result;
    VariantInit(&result);
    hr = Convert(view, vt, &result);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    // Only now may dest go: src (and view) may be dest itself.
    hr = VariantClear(dest);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    *dest = result;
    return S_OK;
}
