// The typed value of a node: its text read as the data type the node declares
// with a dt:dt attribute (namespace urn:schemas-microsoft-com:datatypes), or as
// a string when it declares none.
//
//   data type                                        kind
//   string (or none, or a type not listed here)      String
//   float, number, r4, r8, fixed.14.4                Number  (double)
//   int, i1, i2, i4, i8, ui1, ui2, ui4               Integer (int64, range of the type)
//   boolean                                          Boolean ("true"/"false", "yes"/"no", numbers)
#pragma once

#include <cstdint>
#include <string>
#include <utility>

class CXmlTypedValue {
public:
    enum class Kind { String, Integer, Number, Boolean };

    static CXmlTypedValue OfString(std::string text);
    static CXmlTypedValue OfInteger(std::string text, std::int64_t value);
    static CXmlTypedValue OfNumber(std::string text, double value);
    static CXmlTypedValue OfBoolean(std::string text, bool value);

    Kind GetKind() const { return m_kind; }
    // The node text the value was read from.
    const std::string& Text() const { return m_text; }
    // Each is meaningful for its kind only; others give 0 / false.
    std::int64_t Integer() const { return m_integer; }
    double Number() const { return m_number; }
    bool Boolean() const { return m_boolean; }

private:
    CXmlTypedValue(Kind kind, std::string text) : m_kind(kind), m_text(std::move(text)) {}

    Kind m_kind;
    std::string m_text;
    std::int64_t m_integer = 0;
    double m_number = 0;
    bool m_boolean = false;
};
