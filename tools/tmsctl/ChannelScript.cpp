// tmsctl register / unregister / run: the component driven through its
// public interfaces, like any client, from a small line-oriented script.
#include "tools/tmsctl/ChannelScript.h"
#include "tools/tmsctl/ChannelStatusText.h"

#include "platform/com/CoCreateInstance.h"
#include "platform/com/ComError.h"
#include "platform/com/ComPtr.h"
#include "platform/com/ErrorInfo.h"
#include "platform/com/Variant.h"
#include "platform/com/VariantArray.h"
#include "platform/kernel/InstallLayout.h"
#include "tmschannel/tmschannel.h"
#include "tools/tmsctl/Commands.h"
#include "tools/tmsctl/ScriptArgs.h"
#include "tools/tmsctl/TimelineScript.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace tmsctl {

namespace {

const char* const kServers[] = {TMS_CHANNEL_LIB, TMS_CONFIGMGR_LIB, TMS_XMLDOM_LIB,
                                TMS_TIMELINE_LIB};

const char* HresultName(HRESULT hr) {
    struct Name {
        std::uint32_t code;
        const char* name;
    };
    static const Name names[] = {
        {0x00000000, "S_OK"},
        {0x00000001, "S_FALSE"},
        {0x80004001, "E_NOTIMPL"},
        {0x80004003, "E_POINTER"},
        {0x80004004, "E_ABORT"},
        {0x80004005, "E_FAIL"},
        {0x8000FFFF, "E_UNEXPECTED"},
        {0x80070057, "E_INVALIDARG"},
        {0x80043011, "RTS_NO_RESPONSE"},
        {0x80043012, "RTS_CONNECTION_LOST"},
        {0x80043015, "NO_RTS_SHARED_MEMORY"},
        {0x8004300E, "PROPERTY_NOT_AVAILABLE"},
        {0x8004300F, "PROPERTY_NOT_SETTABLE"},
        {0x80043018, "CHANNEL_PROPERTY"},
        {0x80045224, "NOT_FOUND"},
        {0x80045221, "STATUS_NOT_FOUND"},
        {0x8004301A, "CHANNEL_OFFLINE"},
        {0x80004002, "E_NOINTERFACE"},
        {0x80048007, "STATUS_MUTEX_TIMED_OUT"},
    };
    for (const auto& n : names) {
        if (n.code == static_cast<std::uint32_t>(hr)) {
            return n.name;
        }
    }
    return "HRESULT";
}

std::string ErrorText(HRESULT hr) {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info != nullptr) {
        const std::string d = _com_error(hr, info).Description();
        if (!d.empty()) {
            return d;
        }
    }
    return _com_error(hr).ErrorMessage();
}

std::string Show(const VARIANT& v) {
    if ((v.vt & VT_ARRAY) != 0 && (v.vt & VT_TYPEMASK) == VT_VARIANT) {
        std::string out = "[";
        const auto values = ReadVariantArray(v);
        for (std::size_t i = 0; i < values.size(); ++i) {
            out += (i ? ", " : "") + Show(values[i].GetVARIANT());
        }
        return out + "]";
    }
    if ((v.vt & VT_ARRAY) != 0) {
        const auto bytes = ReadByteArray(v);
        std::string out;
        char hex[4];
        for (BYTE b : bytes) {
            std::snprintf(hex, sizeof hex, "%02x", b);
            out += hex;
        }
        return out;
    }
    try {
        CVariant copy(v);
        return v.vt == VT_BSTR ? "\"" + copy.ToString() + "\"" : copy.ToString();
    } catch (const _com_error&) {
        return "(VARIANT type " + std::to_string(v.vt) + ")";
    }
}

bool IsNumber(const std::string& s) {
    if (s.empty()) {
        return false;
    }
    for (char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// A number the script has already seen to be digits, checked against the
// range of the int it becomes.
int IntArgument(const std::string& text, const char* argument) {
    std::int64_t v = 0;
    if (!ScriptInteger(text, argument, 0, INT_MAX, &v)) {
        throw CScriptError(std::string(argument) + " '" + text + "' is not a number");
    }
    return static_cast<int>(v);
}

// A channel property's value as typed: true/false a boolean, a whole
// number a long, anything else text.
CVariant ChannelPropertyValue(const std::string& text) {
    if (text == "true" || text == "false") {
        return CVariant(text == "true");
    }
    const bool negative = !text.empty() && text[0] == '-';
    std::int64_t number = 0;
    if (IsNumber(negative ? text.substr(1) : text) &&
        ScriptInteger(text, "setchanprop: VALUE", INT32_MIN, INT32_MAX, &number)) {
        return CVariant(static_cast<std::int32_t>(number));
    }
    return CVariant(text);
}

}  // namespace

// The server libraries of an installed tmsctl are those installed with it,
// else those of the build it was made in.
std::string ServerPath(const char* built) {
    const std::string path = built;
    return InstalledPathOr(reinterpret_cast<const void*>(&ServerPath),
                           "lib/tmschannel/" + path.substr(path.rfind('/') + 1), path);
}

int RegisterServers(bool unregister) {
    int result = kExitOk;
    for (const char* built : kServers) {
        const std::string server = ServerPath(built);
        const char* lib = server.c_str();
        const HRESULT hr = unregister ? DllUnregisterServerAt(lib) : DllRegisterServerAt(lib);
        if (FAILED(hr)) {
            std::fprintf(stderr, "tmsctl: %s %s: 0x%08X %s\n",
                         unregister ? "unregister" : "register", lib, static_cast<unsigned>(hr),
                         _com_error(hr).ErrorMessage().c_str());
            result = kExitFailed;
        }
    }
    return result;
}

int RunRegister(const Args& args) {
    if (!args.empty()) {
        std::fprintf(stderr,
                     "usage: tmsctl register   (registers the component and its servers "
                     "in the runtime folder's class registry)\n");
        return kExitUsage;
    }
    return RegisterServers(false);
}

int RunUnregister(const Args& args) {
    if (!args.empty()) {
        std::fprintf(stderr, "usage: tmsctl unregister\n");
        return kExitUsage;
    }
    return RegisterServers(true);
}

int CChannelScript::Run(std::istream& in, std::ostream& out) {
    CComPtr<ITmsChannel> channel(m_channel);
    HRESULT hr = S_OK;
    if (!channel) {
        hr = CoCreateInstance(CLSID_TmsChannel, nullptr, CLSCTX_INPROC_SERVER, IID_ITmsChannel,
                              reinterpret_cast<void**>(&channel));
    }
    if (FAILED(hr)) {
        out << "CoCreateInstance(TmsChannel): 0x" << std::hex << static_cast<unsigned>(hr)
            << std::dec << " " << ErrorText(hr)
            << " (is the component registered? try 'tmsctl register')\n";
        return kExitFailed;
    }
    int result = kExitOk;
    CTimelineScript timelines(channel);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        try {
            CheckScriptLine(line);
        } catch (const CScriptError& e) {
            out << "line " << number << ": " << e.what() << "\n";
            return kExitUsage;
        }
        std::istringstream words(line);
        std::string command;
        if (!(words >> command) || command[0] == '#') {
            continue;
        }
        std::vector<std::string> a;
        for (std::string w; words >> w;) {
            a.push_back(w);
        }
        auto usage = [&](const char* text) {
            out << "line " << number << ": usage: " << text << "\n";
            return kExitUsage;
        };
        out << "> " << line << "\n";
        CVariant value;
        bool showValue = false;
        try {
            if (command == "open") {
                if (a.empty() || a.size() > 2) {
                    return usage("open CHANNEL-NUMBER|CHANNEL-NAME [APPLICATION]");
                }
                CVariant chan = IsNumber(a[0]) ? CVariant(static_cast<std::int32_t>(
                                                     IntArgument(a[0], "open: CHANNEL-NUMBER")))
                                               : CVariant(a[0]);
                hr = channel->Open(chan, CBstr("tmsctl"), CBstr(""),
                                   CBstr(a.size() > 1 ? a[1] : "tmsctl"), CBstr("tmsctl-script"));
            } else if (command == "close") {
                hr = channel->Close();
            } else if (command == "ee") {
                if (a.empty()) {
                    BOOL ee = 0;
                    hr = channel->GetEtoE(&ee);
                    value = CVariant(ee != 0);
                    showValue = true;
                } else if (a.size() == 1 && (a[0] == "on" || a[0] == "off")) {
                    hr = channel->SetEtoE(a[0] == "on" ? TRUE : FALSE);
                } else {
                    return usage("ee [on|off]");
                }
            } else if (command == "refresh") {
                std::string hint;
                for (const auto& w : a) {
                    hint += (hint.empty() ? "" : " ") + w;
                }
                hr = channel->RefreshConfig(CBstr(hint));
            } else if (command == "resprop" || command == "resstatus") {
                if (a.size() != 3 || !IsNumber(a[1])) {
                    return usage("resprop|resstatus TYPE NUMBER NAME[+NAME...]");
                }
                VARIANT* v = &value.GetVARIANT();
                const int n = IntArgument(a[1], (command + ": NUMBER").c_str());
                hr = command == "resprop"
                         ? channel->GetResourceProperty(CBstr(a[0]), n, CBstr(a[2]), v)
                         : channel->GetResourceStatus(CBstr(a[0]), n, CBstr(a[2]), v);
                showValue = hr == S_OK;
            } else if (command == "setresprop") {
                if (a.size() < 4 || a.size() > 5 || !IsNumber(a[1]) ||
                    (a.size() == 5 && a[4] != "nopersist")) {
                    return usage("setresprop TYPE NUMBER NAME VALUE [nopersist]");
                }
                hr = channel->SetResourcePropertyEx(
                    CBstr(a[0]), IntArgument(a[1], "setresprop: NUMBER"), CBstr(a[2]),
                    CVariant(a[3]), a.size() == 5 ? FALSE : TRUE);
            } else if (command == "chanprop") {
                if (a.size() != 1) {
                    return usage("chanprop NAME[+NAME...]");
                }
                hr = channel->GetChannelProperty(CBstr(a[0]), &value.GetVARIANT());
                showValue = SUCCEEDED(hr);
            } else if (command == "setchanprop") {
                if (a.size() != 2) {
                    return usage("setchanprop NAME VALUE (true/false, a number or text)");
                }
                hr = channel->SetChannelProperty(CBstr(a[0]), ChannelPropertyValue(a[1]));
            } else if (command == "caps") {
                CComPtr<ITmsContextBroker> broker;
                hr = channel->QueryInterface(IID_ITmsContextBroker,
                                             reinterpret_cast<void**>(&broker));
                unsigned c1 = 0, c2 = 0;
                if (SUCCEEDED(hr)) {
                    hr = broker->GetChannelCapabilities(&c1, &c2);
                }
                char text[48];
                std::snprintf(text, sizeof text, "0x%08X 0x%08X", c1, c2);
                value = CVariant(text);
                showValue = SUCCEEDED(hr);
            } else if (command == "watch") {
                // What another process of the server sees of the channel.
                if (a.empty() || a.size() > 2 || !IsNumber(a[0]) ||
                    (a.size() == 2 && !IsNumber(a[1]))) {
                    return usage("watch CHANNEL [SNAPSHOTS]");
                }
                const int watched = IntArgument(a[0], "watch: CHANNEL");
                const int count = a.size() == 2 ? IntArgument(a[1], "watch: SNAPSHOTS") : 1;
                for (int n = 0; n < count; ++n) {
                    if (n > 0) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(200));
                    }
                    out << ChannelSnapshotText(watched);
                }
                continue;
            } else if (command == "sleep") {
                if (a.size() != 1 || !IsNumber(a[0])) {
                    return usage("sleep MILLISECONDS");
                }
                std::this_thread::sleep_for(
                    std::chrono::milliseconds(IntArgument(a[0], "sleep: MILLISECONDS")));
                hr = S_OK;
            } else if (command == "rts") {
                // The simulator's control port, as "tmsctl rts" sends to it.
                if (a.empty()) {
                    return usage("rts COMMAND... (as tmsctl rts)");
                }
                std::cout.flush();
                hr = RunRts(a) == kExitOk ? S_OK : E_FAIL;
                std::fflush(stdout);
            } else if (command == "echo") {
                out << line.substr(line.find("echo") + 4) << "\n";
                continue;
            } else if (const char* text = nullptr;
                       timelines.Run(command, a, out, &hr, &value, &showValue, &text)) {
                if (text != nullptr) {
                    return usage(text);
                }
            } else {
                out << "line " << number << ": unknown command '" << command
                    << "' (open, close, ee, refresh, resprop, resstatus, setresprop, chanprop, "
                    << "setchanprop, caps, rts, " << CTimelineScript::Names() << ", sleep, echo)\n";
                return kExitUsage;
            }
        } catch (const CScriptError& e) {
            out << "line " << number << ": " << e.what() << "\n";
            return kExitUsage;
        }
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
        if (FAILED(hr)) {
            out << "  failed " << code << " " << HresultName(hr) << ": " << ErrorText(hr) << "\n";
            result = kExitFailed;
        } else {
            out << "  " << HresultName(hr);
            if (showValue) {
                out << "  " << Show(value.GetVARIANT());
            }
            out << "\n";
        }
        // A script fed through a pipe is read as it runs: each answer goes
        // out before the next line is waited for.
        out.flush();
    }
    channel->Close();
    return result;
}

int RunScript(const Args& args) {
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: tmsctl run SCRIPT|-   (one command a line; see README.md)\n");
        return kExitUsage;
    }
    CChannelScript script;
    if (args[0] == "-") {
        return script.Run(std::cin, std::cout);
    }
    std::ifstream file(args[0]);
    if (!file) {
        std::fprintf(stderr, "tmsctl run: cannot read '%s'\n", args[0].c_str());
        return kExitUsage;
    }
    return script.Run(file, std::cout);
}

}  // namespace tmsctl
