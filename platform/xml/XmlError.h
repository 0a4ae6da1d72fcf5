// The failure of an XML operation: a document that does not parse, an XPath
// that does not compile, a text that does not convert to the type asked for,
// a file that cannot be read or written, or a call on the wrong kind of node.
#pragma once

#include <stdexcept>
#include <string>

class CXmlError : public std::runtime_error {
public:
    explicit CXmlError(const std::string& message);
    // A parse error: where the text stopped making sense (offset counts bytes
    // from the start; line and column count from 1).
    CXmlError(const std::string& message, std::string reason, long offset, int line, int column);

    // Why parsing failed ("" when this is not a parse error).
    const std::string& Reason() const { return m_reason; }
    // -1 when this is not a parse error.
    long Offset() const { return m_offset; }
    int Line() const { return m_line; }
    int Column() const { return m_column; }

private:
    std::string m_reason;
    long m_offset = -1;
    int m_line = 0;
    int m_column = 0;
};
