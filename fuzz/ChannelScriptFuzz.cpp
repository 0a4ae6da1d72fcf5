// Feeds arbitrary bytes, as a script for tmsctl run, to the channel-script
// reader, with a channel that answers every call with E_NOTIMPL: every word
// of every line is read, checked and turned into call arguments, without a
// component, a simulator or a runtime folder. Scripts that name the commands
// that wait on the clock, read the status memory or talk to the simulator
// (sleep, watch, port, rts) are skipped. Any crash, over-read, leak or undefined behaviour is a
// finding.
#include <cstdint>
#include <cstring>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>

#include "tmschannel/tmschannel.h"
#include "tools/tmsctl/ChannelScript.h"

namespace {

class CRefusingChannel : public ITmsChannel {
public:
    HRESULT QueryInterface(const IID& iid, void** object) override {
        *object = nullptr;
        if (iid == IID_IUnknown || iid == IID_ITmsChannel) {
            *object = static_cast<ITmsChannel*>(this);
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 1; }  // lives as long as the process
    ULONG Release() override { return 1; }

    HRESULT AllocateContext(unsigned short, unsigned int*) override { return E_NOTIMPL; }
    HRESULT Close() override { return S_OK; }
    HRESULT CloseTimeline(unsigned short) override { return E_NOTIMPL; }
    HRESULT CreateTimeline(BSTR, BSTR, BSTR, long, int, unsigned short*, GUID*, void**) override {
        return E_NOTIMPL;
    }
    HRESULT ExtendTimeline(IUnknown*, int, int) override { return E_NOTIMPL; }
    HRESULT FreeContext(unsigned int) override { return E_NOTIMPL; }
    HRESULT GetChannelProperty(BSTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT GetEtoE(BOOL*) override { return E_NOTIMPL; }
    HRESULT GetMovieBuilder(GUID*, void**) override { return E_NOTIMPL; }
    HRESULT GetResourceProperty(BSTR, int, BSTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT GetResourceStatus(BSTR, int, BSTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT GetResourceStatusRange(BSTR, int, BSTR, unsigned int*, unsigned int*,
                                   VARIANT*) override {
        return E_NOTIMPL;
    }
    HRESULT GetStatus(unsigned int, BSTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT GetStatusRange(unsigned int, BSTR, unsigned int*, unsigned int*, VARIANT*) override {
        return E_NOTIMPL;
    }
    HRESULT GetStorage(BSTR, long*, long*, long*) override { return E_NOTIMPL; }
    HRESULT Open(VARIANT, BSTR, BSTR, BSTR, BSTR) override { return E_NOTIMPL; }
    HRESULT OpenTimeline(BSTR, BSTR, BSTR, unsigned short*, GUID*, void**) override {
        return E_NOTIMPL;
    }
    HRESULT RefreshConfig(BSTR) override { return E_NOTIMPL; }
    HRESULT SetChannelProperty(BSTR, VARIANT) override { return E_NOTIMPL; }
    HRESULT SetEtoE(BOOL) override { return E_NOTIMPL; }
    HRESULT SetResourceProperty(BSTR, int, BSTR, VARIANT) override { return E_NOTIMPL; }
    HRESULT WaitForPortState(unsigned int, TmsPortState, int) override { return E_NOTIMPL; }
    HRESULT SetResourcePropertyEx(BSTR, int, BSTR, VARIANT, BOOL) override { return E_NOTIMPL; }
};

class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
};

bool Mentions(const std::string& text, const char* word) {
    return text.find(word) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (Mentions(text, "sleep") || Mentions(text, "watch") || Mentions(text, "port") ||
        Mentions(text, "rts")) {
        return 0;
    }
    static CRefusingChannel channel;
    std::istringstream in(text);
    NullBuffer sink;
    std::ostream out(&sink);
    tmsctl::CChannelScript script(&channel);
    script.Run(in, out);
    return 0;
}
