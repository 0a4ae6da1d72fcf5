#include "tests/channel/ChannelFixture.h"

#include <regex>
#include <thread>

#include "platform/com/ComError.h"
#include "platform/kernel/NamedObjects.h"
#include "platform/mmio/Mmio.h"

namespace tmstest {

namespace {

std::uint32_t Le32(const BYTE* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

// Walks the chunks of [begin, end), descending into RIFF and LIST.
bool FindChunk(const BYTE* begin, const BYTE* end, std::uint32_t id, int* nth,
               std::vector<BYTE>* body) {
    const BYTE* p = begin;
    while (end - p >= 8) {
        const std::uint32_t ckid = Le32(p);
        const std::uint32_t size = Le32(p + 4);
        const BYTE* data = p + 8;
        if (size > static_cast<std::size_t>(end - data)) {
            return false;
        }
        if (ckid == rts::FourCC("RIFF") || ckid == rts::FourCC("LIST")) {
            if (size >= 4 && FindChunk(data + 4, data + size, id, nth, body)) {
                return true;
            }
        } else if (ckid == id && (*nth)-- == 0) {
            body->assign(data, data + size);
            return true;
        }
        p = data + size + (size & 1);
    }
    return false;
}

}  // namespace

bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::vector<BYTE> DumpedMessage::Chunk(std::uint32_t id, int nth) const {
    std::vector<BYTE> body;
    FindChunk(bytes.data(), bytes.data() + bytes.size(), id, &nth, &body);
    return body;
}

void ChannelFixture::SetUp() {
    for (const char* lib : {TMS_CHANNEL_LIB, TMS_CONFIGMGR_LIB, TMS_XMLDOM_LIB, TMS_TIMELINE_LIB}) {
        ASSERT_EQ(DllRegisterServerAt(lib), S_OK) << lib;
    }
    std::string error;
    ASSERT_NE(EnsureSystemConfig(&error), "") << error;
    std::filesystem::create_directories(DumpDir());
}

void ChannelFixture::TearDown() {
    if (m_channel != nullptr) {
        m_channel->Close();
        m_channel.Release();
    }
    m_sim.Stop();
    CoFreeUnusedLibrariesEx(0, 0);
    // The server-wide status memory lives as long as the server does; the
    // test is the server here.
    UnlinkNamedObject("StatusMemory");
    UnlinkNamedObject("StatusMemoryMutex");
    const auto left = NamedObjectsLeft();
    EXPECT_TRUE(left.empty()) << left.front();
}

std::string ChannelFixture::StartSimulator(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"--dump", DumpDir()};
    args.insert(args.end(), extra.begin(), extra.end());
    return m_sim.Start(TMS_RTSSIM, m_dir.Path(), args);
}

std::string ChannelFixture::ConfigText() const {
    return ReadFileText(SystemConfigPath());
}

void ChannelFixture::EditConfig(const std::string& from, const std::string& to) {
    std::string text = ConfigText();
    const std::size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    std::ofstream(SystemConfigPath(), std::ios::trunc) << text;
}

void ChannelFixture::RemoveAudioAndTimecode(const std::string& channelId) {
    const std::string text = ConfigText();
    const std::size_t begin = text.find("<Channel id=\"" + channelId + "\"");
    ASSERT_NE(begin, std::string::npos) << channelId;
    const std::size_t end = text.find("</Channel>", begin);
    ASSERT_NE(end, std::string::npos) << channelId;
    const std::string block = text.substr(begin, end - begin);
    static const std::regex kinds(R"(\s*<(Audio|Timecode) [\s\S]*?</(Audio|Timecode)>)");
    EditConfig(block, std::regex_replace(block, kinds, ""));
}

std::vector<DumpedMessage> ChannelFixture::Received() const {
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(DumpDir())) {
        files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    std::vector<DumpedMessage> out;
    for (std::size_t i = m_forgotten; i < files.size(); ++i) {
        DumpedMessage m;
        const std::string text = ReadFileText(files[i]);
        m.bytes.assign(text.begin(), text.end());
        if (m.bytes.size() >= 12) {
            m.form = Le32(m.bytes.data() + 8);
        }
        out.push_back(std::move(m));
    }
    return out;
}

void ChannelFixture::Forget() {
    m_forgotten += Received().size();
}

CComPtr<ITmsChannel> ChannelFixture::NewChannel() {
    CComPtr<ITmsChannel> channel;
    const HRESULT hr = CoCreateInstance(CLSID_TmsChannel, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_ITmsChannel, reinterpret_cast<void**>(&channel));
    EXPECT_EQ(hr, S_OK);
    return channel;
}

HRESULT ChannelFixture::OpenIndex(ITmsChannel* channel, int index, const char* app) {
    return channel->Open(CVariant(static_cast<std::int32_t>(index)), CBstr("suite"), CBstr("user"),
                         CBstr(app), CBstr("uuid-1234"));
}

HRESULT ChannelFixture::OpenName(ITmsChannel* channel, const char* name) {
    return channel->Open(CVariant(name), CBstr("suite"), CBstr("user"), CBstr("test-app"),
                         CBstr("uuid-1234"));
}

std::string ChannelFixture::LastErrorText() {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || info == nullptr) {
        return {};
    }
    return _com_error(E_FAIL, info).Description();
}

}  // namespace tmstest
