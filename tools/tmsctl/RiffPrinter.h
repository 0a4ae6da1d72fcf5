// Prints a RIFF message as an indented tree of forms, lists and chunks, with
// the bodies the RTS protocol defines decoded field by field and any other
// body in hex. Malformed input is printed as far as it can be read, followed
// by one error line.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace tmsctl {

class CRiffPrinter {
public:
    explicit CRiffPrinter(std::ostream& out) : m_out(out) {}

    // True when the whole message was well formed; otherwise Error() says
    // what was wrong and where.
    bool Print(const std::uint8_t* data, std::size_t size);
    const std::string& Error() const { return m_error; }

private:
    bool Walk(const std::uint8_t* data, std::size_t begin, std::size_t end, int depth,
              std::uint32_t form);
    void PrintBody(std::uint32_t id, const std::uint8_t* body, std::size_t size, int depth);
    void PrintHex(const std::uint8_t* body, std::size_t size, int depth);
    void Fail(const std::string& what);
    std::string Indent(int depth) const {
        return std::string(static_cast<std::size_t>(depth) * 2, ' ');
    }

    std::ostream& m_out;
    std::string m_error;
};

}  // namespace tmsctl
