// Feeds arbitrary bytes, as the system configuration file, to every loader
// of it: the configuration manager's store, the RTS simulator's reader and
// the XML layer's loads from text and from a file, with the queries the
// channel's configuration pass makes. Any crash, over-read, leak or
// undefined behaviour is a finding; a refusal is an answer.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/xml/XmlDocument.h"
#include "platform/xml/XmlError.h"
#include "server/configmgr/SystemConfigStore.h"
#include "server/rtssim/RtsSimConfig.h"

namespace {

// The file lives in memory only: nothing is left behind in any folder.
const std::string& FilePath(int* fd) {
    static int file = ::memfd_create("tms-config-fuzz", MFD_CLOEXEC);
    static const std::string path = "/proc/self/fd/" + std::to_string(file);
    *fd = file;
    return path;
}

void Query(const CXmlDocument& doc) {
    // clang-format off
    static const char* const kQueries[] = {
        "./Config/System/SystemVideoReference/@referenceStandard",
        "./Config/Board/@id",
        "./Config/Channel/@channelIndex",
        "//Channel[@channelIndex=\"0\"]/Video/VideoCodecComponent/@id",
        "//VideoCodec[@id=//Channel[@channelIndex=\"1\"]/Video[@index=\"0\"]/VideoCodecComponent/@id]/@aspectRatio",
    };
    // clang-format on
    for (const char* q : kQueries) {
        std::string text;
        std::int32_t number = 0;
        bool flag = false;
        double real = 0;
        try {
            doc.ReadText(q, &text);
            doc.ReadLong(q, &number);
        } catch (const CXmlError&) {
        }
        try {
            doc.ReadBool(q, &flag);
        } catch (const CXmlError&) {
        }
        try {
            doc.ReadFloat(q, &real);
        } catch (const CXmlError&) {
        }
    }
    (void)doc.Xml();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    int fd = -1;
    const std::string& path = FilePath(&fd);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    try {
        Query(CSystemConfigStore(path).Load());
    } catch (const std::exception&) {
    }
    std::vector<RtsSimChannel> channels;
    std::string error;
    if (!ReadRtsSimConfig(path, &channels, &error) && error.empty()) {
        std::abort();  // a refusal always says why
    }
    CXmlDocument doc;
    try {
        doc.LoadXml(text);
        Query(doc);
    } catch (const CXmlError&) {
    }
    return 0;
}
