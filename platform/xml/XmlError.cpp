#include "platform/xml/XmlError.h"

#include <utility>

CXmlError::CXmlError(const std::string& message) : std::runtime_error(message) {}

CXmlError::CXmlError(const std::string& message, std::string reason, long offset, int line,
                     int column)
    : std::runtime_error(message),
      m_reason(std::move(reason)),
      m_offset(offset),
      m_line(line),
      m_column(column) {}
