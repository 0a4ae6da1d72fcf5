#include "platform/xml/XmlTypedValue.h"

#include <utility>

CXmlTypedValue CXmlTypedValue::OfString(std::string text) {
    return CXmlTypedValue(Kind::String, std::move(text));
}

CXmlTypedValue CXmlTypedValue::OfInteger(std::string text, std::int64_t value) {
    CXmlTypedValue v(Kind::Integer, std::move(text));
    v.m_integer = value;
    return v;
}

CXmlTypedValue CXmlTypedValue::OfNumber(std::string text, double value) {
    CXmlTypedValue v(Kind::Number, std::move(text));
    v.m_number = value;
    return v;
}

CXmlTypedValue CXmlTypedValue::OfBoolean(std::string text, bool value) {
    CXmlTypedValue v(Kind::Boolean, std::move(text));
    v.m_boolean = value;
    return v;
}
