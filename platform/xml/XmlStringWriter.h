// Collects pugixml output in a string. Internal to platform/xml.
#pragma once

#include <string>

#include <pugixml.hpp>

class CXmlStringWriter : public pugi::xml_writer {
public:
    void write(const void* data, size_t size) override {
        m_text.append(static_cast<const char*>(data), size);
    }
    std::string& Text() { return m_text; }

private:
    std::string m_text;
};
