// A client of the channel component: opens a channel, creates a movie on
// it, allocates a context for the movie, cues it, plays it, watches the
// position move and closes everything again.
//
//   play_client [CHANNEL]
//
// The component must be registered in the runtime folder ($TMS_RUNTIME_DIR,
// see `tmsctl register`) and the server (or `tms-rtssim`) be running there.
// Exits 0 when the position moved while playing, 1 on any failure.
#include <tmschannel/tmschannel.h>

#include <platform/com/CoCreateInstance.h>
#include <platform/com/ComError.h>
#include <platform/com/ComPtr.h>
#include <platform/com/ErrorInfo.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

// A failed call: what was called, its HRESULT and the component's message.
bool Failed(HRESULT hr, const char* call) {
    if (SUCCEEDED(hr)) {
        return false;
    }
    std::string message;
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info != nullptr) {
        message = _com_error(hr, info).Description();
    }
    std::fprintf(stderr, "play_client: %s failed: 0x%08X %s\n", call, static_cast<unsigned>(hr),
                 message.c_str());
    return true;
}

// A context change as the channel takes it: 124 bytes, little-endian; only
// the fields this client sets are named.
class ContextChange {
public:
    ContextChange& State(TmsPortState state) { return Set(kState, 0x0004, state); }
    ContextChange& Position(std::int32_t fields) { return Set(kPosition, 0x0008, fields); }
    ContextChange& Speed(float speed) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &speed, sizeof bits);
        return Set(kSpeed, 0x0100, static_cast<std::int32_t>(bits));
    }
    // Taken as soon as the channel can.
    HRESULT Send(ITmsChannel* channel, unsigned int token) {
        Put(kFlags, static_cast<std::int32_t>(m_flags));
        Put(kTrigger, kTriggerAsap);
        CComPtr<ITmsContextBroker> broker;
        HRESULT hr =
            channel->QueryInterface(IID_ITmsContextBroker, reinterpret_cast<void**>(&broker));
        return FAILED(hr) ? hr : broker->ApplyContextChange(token, sizeof m_bytes, m_bytes);
    }

private:
    static constexpr std::size_t kFlags = 0, kTrigger = 24, kState = 32, kSpeed = 44,
                                 kPosition = 48;
    static constexpr std::int32_t kTriggerAsap = 1;

    ContextChange& Set(std::size_t at, std::uint32_t flag, std::int32_t value) {
        m_flags |= flag;
        Put(at, value);
        return *this;
    }
    void Put(std::size_t at, std::int32_t value) {
        for (int i = 0; i < 4; ++i) {
            m_bytes[at + i] =
                static_cast<unsigned char>(static_cast<std::uint32_t>(value) >> (8 * i));
        }
    }
    unsigned char m_bytes[124] = {};
    std::uint32_t m_flags = 0;
};

bool Position(ITmsChannel* channel, unsigned int token, std::int32_t* position) {
    CVariant value;
    if (Failed(channel->GetStatus(token, CBstr("position"), &value.GetVARIANT()),
               "GetStatus(position)")) {
        return false;
    }
    *position = value.ToInt32();
    return true;
}

int Run(ITmsChannel* channel, int channelNumber) {
    if (Failed(channel->Open(CVariant(static_cast<std::int32_t>(channelNumber)), CBstr("example"),
                             CBstr(""), CBstr("play_client"), CBstr("")),
               "Open")) {
        return 1;
    }
    std::printf("channel %d open\n", channelNumber);
    unsigned short code = 0;
    CComPtr<IUnknown> movie;
    GUID iid = IID_IUnknown;
    constexpr int kLength = 3000;  // fields
    // A movie kept from an earlier run is played again.
    constexpr HRESULT kMovieExists = HRESULT_FROM_WIN32(80);  // ERROR_FILE_EXISTS
    HRESULT hr = channel->CreateTimeline(CBstr("examples"), CBstr("clips"), CBstr("first"), TRUE,
                                         kLength, &code, &iid, reinterpret_cast<void**>(&movie));
    if (hr == kMovieExists) {
        hr = channel->OpenTimeline(CBstr("examples"), CBstr("clips"), CBstr("first"), &code, &iid,
                                   reinterpret_cast<void**>(&movie));
    }
    if (Failed(hr, "CreateTimeline")) {
        channel->Close();
        return 1;
    }
    std::printf("movie ready, timeline code %u\n", code);
    int result = 1;
    unsigned int token = 0;
    if (!Failed(channel->AllocateContext(code, &token), "AllocateContext")) {
        std::printf("context 0x%X allocated\n", token);
        std::int32_t start = 0, now = 0;
        if (!Failed(ContextChange().State(TmsCuePlay).Position(0).Send(channel, token), "cue") &&
            !Failed(channel->WaitForPortState(token, TmsCuePlay, 5000), "wait for cue") &&
            !Failed(ContextChange().State(TmsShuttlePlay).Speed(1.0f).Send(channel, token),
                    "play") &&
            !Failed(channel->WaitForPortState(token, TmsShuttlePlay, 5000), "wait for play") &&
            Position(channel, token, &start)) {
            std::printf("playing from field %d\n", start);
            // Bounded: at most ten seconds for the position to move on.
            for (int i = 0; i < 100 && Position(channel, token, &now) && now <= start; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            std::printf("position %d\n", now);
            result = now > start ? 0 : 1;
            if (result != 0) {
                std::fprintf(stderr, "play_client: the position did not move from %d\n", start);
            }
            ContextChange().State(TmsIdle).Send(channel, token);
        }
        Failed(channel->FreeContext(token), "FreeContext");
    }
    Failed(channel->CloseTimeline(code), "CloseTimeline");
    if (Failed(channel->Close(), "Close")) {
        result = 1;
    }
    std::printf("closed\n");
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const int channelNumber = argc > 1 ? std::atoi(argv[1]) : 1;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int result = 1;
    {
        CComPtr<ITmsChannel> channel;
        if (!Failed(CoCreateInstance(CLSID_TmsChannel, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_ITmsChannel, reinterpret_cast<void**>(&channel)),
                    "CoCreateInstance(TmsChannel) (is it registered? tmsctl register)")) {
            result = Run(channel, channelNumber);
        }
    }
    CoFreeUnusedLibrariesEx(0, 0);
    CoUninitialize();
    return result;
}
