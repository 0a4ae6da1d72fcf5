#include "platform/xml/XmlDocument.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/xml/XmlDocumentState.h"
#include "platform/xml/XmlError.h"
#include "platform/xml/XmlStringWriter.h"
#include "platform/xml/XmlTextConvert.h"

namespace {

constexpr unsigned kParseOptions = pugi::parse_full;

std::string ErrnoText(int err) {
    return std::strerror(err);
}

// Closes a descriptor and removes a temporary file unless told to keep it.
class CTempFile {
public:
    explicit CTempFile(std::string path) : m_path(std::move(path)) {}
    ~CTempFile() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        if (!m_kept) {
            ::unlink(m_path.c_str());
        }
    }
    CTempFile(const CTempFile&) = delete;
    CTempFile& operator=(const CTempFile&) = delete;

    int& Fd() { return m_fd; }
    const std::string& Path() const { return m_path; }
    void Keep() { m_kept = true; }

private:
    std::string m_path;
    int m_fd = -1;
    bool m_kept = false;
};

// The line and column of a byte offset into the parsed (UTF-8) form of the
// text. The text itself may be UTF-16 or UTF-32; each of its code units then
// stands for as many UTF-8 bytes as it converts to (a surrogate for two, so
// that a pair makes four).
void LineAndColumn(const std::string& text, pugi::xml_encoding encoding, long offset, int* line,
                   int* column) {
    *line = 1;
    *column = 1;
    size_t unit = 1;
    bool bigEndian = false;
    switch (encoding) {
        case pugi::encoding_utf16_le:
            unit = 2;
            break;
        case pugi::encoding_utf16_be:
            unit = 2;
            bigEndian = true;
            break;
        case pugi::encoding_utf32_le:
            unit = 4;
            break;
        case pugi::encoding_utf32_be:
            unit = 4;
            bigEndian = true;
            break;
        default:
            break;
    }
    long done = 0;
    for (size_t i = 0; i + unit <= text.size() && done < offset; i += unit) {
        std::uint32_t code = 0;
        for (size_t b = 0; b < unit; ++b) {
            const auto byte =
                static_cast<unsigned char>(text[bigEndian ? i + b : i + unit - 1 - b]);
            code = (code << 8) | byte;
        }
        if (unit == 1) {
            done += 1;
        } else if (code < 0x80) {
            done += 1;
        } else if (code < 0x800 || (unit == 2 && code >= 0xD800 && code < 0xE000)) {
            done += 2;
        } else if (code < 0x10000) {
            done += 3;
        } else {
            done += 4;
        }
        if (code == '\n') {
            ++*line;
            *column = 1;
        } else {
            ++*column;
        }
    }
}

[[noreturn]] void ThrowSaveError(const std::string& path, const char* step, int err) {
    throw CXmlError("Cannot save XML to '" + path + "': " + step + " failed: " + ErrnoText(err));
}

}  // namespace

CXmlDocument::CXmlDocument() : m_state(std::make_unique<CXmlDocumentState>()) {}
CXmlDocument::~CXmlDocument() = default;
CXmlDocument::CXmlDocument(CXmlDocument&& other) noexcept = default;
CXmlDocument& CXmlDocument::operator=(CXmlDocument&& other) noexcept = default;

void CXmlDocument::Parse(const std::string& text, bool fromFile, const std::string& source) {
    auto state = std::make_unique<CXmlDocumentState>();
    const pugi::xml_parse_result result =
        state->tree.load_buffer(text.data(), text.size(), kParseOptions,
                                fromFile ? pugi::encoding_auto : pugi::encoding_utf8);
    auto fail = [&](const std::string& reason, long offset) {
        int line = 1;
        int column = 1;
        LineAndColumn(text, result.encoding, offset, &line, &column);
        char where[96];
        std::snprintf(where, sizeof where, " at line %d, column %d (offset %ld)", line, column,
                      offset);
        throw CXmlError("Cannot parse " + source + ": " + reason + where, reason, offset, line,
                        column);
    };
    if (!result) {
        fail(result.description(), static_cast<long>(result.offset));
    }
    // Nothing declared in a document type is ever expanded or fetched, so a
    // document that declares one would be read differently here than its
    // author meant (an entity left as "&e;" in a value): refuse it. The parser
    // only accepts a DOCTYPE before the top element.
    for (pugi::xml_node node = state->tree.first_child(); node; node = node.next_sibling()) {
        if (node.type() == pugi::node_doctype) {
            fail("a document type declaration (DOCTYPE, entities) is not accepted",
                 static_cast<long>(node.offset_debug()));
        }
    }
    m_state = std::move(state);
}

void CXmlDocument::Load(const std::string& path) {
    std::string bytes;
    {
        std::FILE* f = std::fopen(path.c_str(), "rbe");
        if (f == nullptr) {
            throw CXmlError("Cannot open XML file '" + path + "': " + ErrnoText(errno));
        }
        char chunk[16384];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
            bytes.append(chunk, n);
        }
        const bool failed = std::ferror(f) != 0;
        const int err = errno;
        std::fclose(f);
        if (failed) {
            throw CXmlError("Cannot read XML file '" + path + "': " + ErrnoText(err));
        }
    }
    Parse(bytes, true, "XML file '" + path + "'");
}

void CXmlDocument::LoadXml(const std::string& text) {
    Parse(text, false, "XML text");
}

std::string CXmlDocument::Xml() const {
    return DocumentNode().Xml();
}

void CXmlDocument::Save(const std::string& path) const {
    CXmlStringWriter writer;
    if (m_state) {
        m_state->tree.save(writer, "", pugi::format_raw, pugi::encoding_utf8);
    }
    const std::string& text = writer.Text();

    mode_t mode = 0600;  // a new file is private to its user; an existing one keeps its mode
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    }
    std::vector<char> name(path.begin(), path.end());
    const char suffix[] = ".tmp-XXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof suffix);  // with its terminator
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        ThrowSaveError(path, "creating a temporary file", errno);
    }
    CTempFile temp(name.data());
    temp.Fd() = fd;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowSaveError(path, "writing", errno);
        }
        done += static_cast<size_t>(w);
    }
    if (::fchmod(fd, mode) != 0) {
        ThrowSaveError(path, "setting the mode", errno);
    }
    if (::fsync(fd) != 0) {
        ThrowSaveError(path, "flushing", errno);
    }
    const int closed = ::close(fd);
    temp.Fd() = -1;
    if (closed != 0) {
        ThrowSaveError(path, "closing", errno);
    }
    if (::rename(temp.Path().c_str(), path.c_str()) != 0) {
        ThrowSaveError(path, "renaming the temporary file", errno);
    }
    temp.Keep();
    // Make the rename itself durable; a failure here loses nothing already visible.
    const size_t slash = path.find_last_of('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

CXmlDocument CXmlDocument::Clone() const {
    CXmlDocument copy;
    if (m_state) {
        copy.m_state->tree.reset(m_state->tree);
    }
    return copy;
}

CXmlNode CXmlDocument::DocumentNode() const {
    if (!m_state) {
        return {};
    }
    return CXmlNode(m_state.get(), m_state->tree.internal_object());
}

CXmlNode CXmlDocument::DocumentElement() const {
    if (!m_state) {
        return {};
    }
    pugi::xml_node e = m_state->tree.document_element();
    return e ? CXmlNode(m_state.get(), e.internal_object()) : CXmlNode();
}

CXmlNode CXmlDocument::CreateElement(const std::string& name) {
    if (!xmltext::IsName(name)) {
        throw CXmlError("CreateElement: '" + name + "' is not a valid element name");
    }
    if (!m_state) {
        m_state = std::make_unique<CXmlDocumentState>();
    }
    pugi::xml_node e = m_state->NewDetached().append_child(name.c_str());
    return CXmlNode(m_state.get(), e.internal_object());
}

CXmlNode CXmlDocument::SelectSingleNode(const std::string& xpath) const {
    return DocumentNode().SelectSingleNode(xpath);
}

CXmlNodeList CXmlDocument::SelectNodes(const std::string& xpath) const {
    return DocumentNode().SelectNodes(xpath);
}

bool CXmlDocument::ReadText(const std::string& xpath, std::string* out) const {
    return DocumentNode().ReadText(xpath, out);
}

bool CXmlDocument::ReadLong(const std::string& xpath, std::int32_t* out) const {
    return DocumentNode().ReadLong(xpath, out);
}

bool CXmlDocument::ReadBool(const std::string& xpath, bool* out) const {
    return DocumentNode().ReadBool(xpath, out);
}

bool CXmlDocument::ReadFloat(const std::string& xpath, double* out) const {
    return DocumentNode().ReadFloat(xpath, out);
}
