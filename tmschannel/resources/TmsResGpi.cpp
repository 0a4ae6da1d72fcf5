#include "tmschannel/resources/TmsResGpi.h"

#include "platform/com/Utf.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "server/ipmclient/RtsShmem.h"
#include "tmschannel/common/ConfigReader.h"
#include "tmschannel/common/NameQuery.h"
#include "tmschannel/common/Timecode.h"
#include "tmschannel/common/VideoFormat.h"
#include "tmschannel/frame/ErrorFrame.h"
#include "tmschannel/resources/ResourceStatusNames.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr HRESULT kNotAvailable = HR(0x8004300E);
constexpr std::int32_t kOutputMaskToken = resource_status::kCommonCount;
constexpr std::int32_t kEnabledToken = 0;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool IsKnownActivation(const std::string& when) {
    return when.empty() || when == "always" || when == "play";
}

}  // namespace

CTmsResGpi::CTmsResGpi(std::int32_t resourceNumber) : CTmsResource(resourceNumber) {
    m_typeName = u"gpi";
    resource_status::AddCommonNames(&m_statusNames);
    m_statusNames.emplace("outputmask", kOutputMaskToken);
    m_propertyNames.emplace("enabled", kEnabledToken);
}

CTmsResGpi::~CTmsResGpi() = default;

HRESULT CTmsResGpi::InitFromConfig(IXMLDOMDocument2* document, IXMLDOMNode* element) {
    CTmsEntryPoint trace("CTmsResGpi::InitFromConfig");
    return TMS_ERROR_FRAME(trace, [&] {
        CheckHr(trace, CTmsResource::InitFromConfig(document, element));
        CCriticalSectionLock lock(m_cs);  // inside the frame: lambdas hide it from the analysis
        CConfigReader read(trace);
        std::vector<GpiOutputRecord> outputs;
        for (const auto& component : read.All(read.Nodes(element, "GpiOutputComponent"))) {
            GpiOutputRecord output;
            ReadOutput(trace, document, component, &output);
            outputs.push_back(std::move(output));
        }
        m_outputs = std::move(outputs);
    });
}

void CTmsResGpi::ReadOutput(CEntryPoint& trace, IXMLDOMDocument2* document, IXMLDOMNode* component,
                            GpiOutputRecord* output) {
    CConfigReader read(trace);
    read.Text(component, "@id", &output->id);
    const std::string path = FormatText("//GpiOutput[@id=\"%s\"]", output->id.c_str());
    read.Long(document, path + "/@controlIndex", &output->controlIndex);
    read.Text(document, path + "/@controller", &output->controller);
    read.Text(document, path + "/@triggerName", &output->triggerName);
    output->triggerName = Lower(output->triggerName);
    read.Text(document, path + "/@triggerAt", &output->triggerAt);
    read.Text(document, path + "/@activateWhen", &output->activateWhen);
    if (output->activateWhen == "record") {
        // Record state lists carry no GPI resource.
        trace.LogMsg(
            "%s: GPI output '%s' has activateWhen 'record': GPI outputs do not fire "
            "while recording, so it will not fire",
            m_channelId.c_str(), output->id.c_str());
        output->usable = false;
    } else if (!IsKnownActivation(output->activateWhen)) {
        trace.LogMsg(
            "%s: GPI output '%s' has activateWhen '%s', not always or play: "
            "it will not fire",
            m_channelId.c_str(), output->id.c_str(), output->activateWhen.c_str());
        output->usable = false;
    }
    if (!read.Text(document, path + "/@triggerOffset", &output->triggerOffsetText) ||
        output->triggerOffsetText.empty()) {
        return;
    }
    std::string_view text = output->triggerOffsetText;
    const bool back = text.front() == '-';
    if (back) {
        text.remove_prefix(1);
    }
    // Counted at the channel's rate, in drop frame where the rate has it.
    CTimecode offset(tmsvideo::TimecodeFormatCode(m_videoFormat, true));
    std::string error;
    if (!offset.TryParse(text, m_fieldsPerFrame, &error)) {
        trace.LogMsg(
            "%s: GPI output '%s' has trigger offset '%s', not a timecode (%s): "
            "it will not fire",
            m_channelId.c_str(), output->id.c_str(), output->triggerOffsetText.c_str(),
            error.c_str());
        output->usable = false;
        return;
    }
    const auto fields = static_cast<std::int32_t>(offset.ToFieldCount());
    output->triggerOffset = back ? -fields : fields;
}

bool CTmsResGpi::IsMyXml(IXMLDOMNode* element) {
    if (element == nullptr) {
        return false;
    }
    CCriticalSectionLock lock(m_cs);
    CBstr name;
    if (FAILED(element->get_nodeName(&name)) || name.ToUtf8() != "Gpi") {
        return false;
    }
    CComPtr<IXMLDOMNode> child;
    return SUCCEEDED(element->selectSingleNode(CBstr("GpiOutputComponent"), &child)) &&
           child != nullptr;
}

std::uint32_t CTmsResGpi::AppTriggerMask(const std::vector<GpiOutputRecord>& outputs,
                                         const std::string& triggerName) {
    if (triggerName.empty()) {
        return 0;
    }
    const std::string name = Lower(triggerName);
    std::uint32_t mask = 0;
    for (const GpiOutputRecord& o : outputs) {
        if (o.usable && o.controller == "application" && o.triggerName == name) {
            mask |= o.Bit();
        }
    }
    return mask;
}

std::uint32_t CTmsResGpi::GpiAppTriggerToMask(const std::string& triggerName) const {
    CCriticalSectionLock lock(m_cs);
    return AppTriggerMask(m_outputs, triggerName);
}

void CTmsResGpi::ChannelTriggersIn(const std::vector<GpiOutputRecord>& outputs, std::int32_t from,
                                   std::int32_t to, std::int32_t offset, const Span* edit,
                                   std::int32_t windowStart, std::int32_t windowLast,
                                   FiredMasks* fired) {
    for (const GpiOutputRecord& o : outputs) {
        if (!o.usable || o.controller != "trigger") {
            continue;
        }
        std::int64_t windowAt = 0;
        std::int64_t editAt = 0;
        const std::int64_t editStart = edit != nullptr ? edit->start : 0;
        const std::int64_t editLast = edit != nullptr ? edit->last : 0;
        if (o.triggerAt == "start") {
            windowAt = windowStart;
            editAt = editStart;
        } else if (o.triggerAt == "end") {
            windowAt = windowLast;
            editAt = editLast;
        } else if (o.triggerAt == "startPlus") {
            windowAt = std::int64_t{windowStart} + o.triggerOffset;
            editAt = editStart + o.triggerOffset;
        } else if (o.triggerAt == "endMinus") {
            windowAt = std::int64_t{windowLast} - o.triggerOffset;
            editAt = editLast - o.triggerOffset;
        } else {
            continue;
        }
        auto fire = [&](std::int64_t at) {
            if (at >= from && at < to) {
                (*fired)[static_cast<std::int32_t>(at + offset)] |= o.Bit();
            }
        };
        fire(windowAt);
        if (edit != nullptr) {
            fire(editAt);
        }
    }
}

std::uint32_t CTmsResGpi::GpiChanelTriggerToMask(std::int32_t position, bool editKnown,
                                                 std::int32_t editStart, std::int32_t editLast,
                                                 std::int32_t windowStart,
                                                 std::int32_t windowLast) const {
    std::vector<GpiOutputRecord> outputs;
    {
        CCriticalSectionLock lock(m_cs);
        outputs = m_outputs;
    }
    Span edit;
    edit.start = editStart;
    edit.last = editLast;
    FiredMasks fired;
    if (position < 0x7FFFFFFF) {
        ChannelTriggersIn(outputs, position, position + 1, 0, editKnown ? &edit : nullptr,
                          windowStart, windowLast, &fired);
    }
    const auto it = fired.find(position);
    return it == fired.end() ? 0 : it->second;
}

HRESULT CTmsResGpi::PutStatus(std::uint16_t cycle, const CRtsShmem& shmem,
                              std::int32_t channelIndex) {
    CTmsEntryPoint trace("CTmsResGpi::PutStatus %u", static_cast<unsigned>(cycle));
    return TMS_ERROR_FRAME(trace, [&] {
        CCriticalSectionLock lock(m_cs);  // inside the frame: lambdas hide it from the analysis
        unsigned tick = 0;
        unsigned mask = 0;
        if (!shmem.GetTickCount(channelIndex, &tick) ||
            !shmem.GetGpiOutputMask(channelIndex, &mask)) {
            TMS_RAISE(trace, E_FAIL, "GetGpiStatus(%d) returned false.", channelIndex);
        }
        CCriticalSectionLock statusLock(m_statusCs);
        m_cycle = cycle;
        m_tickCount = tick;
        m_outputMask = mask;
    });
}

HRESULT CTmsResGpi::GetProperty(const std::string& name, VARIANT* value) {
    CTmsEntryPoint trace("CTmsResGpi::GetProperty %s", name.c_str());
    return TMS_ERROR_FRAME(trace, [&] {
        if (PropertyToken(name) != kEnabledToken) {
            RaiseNotAvailable(trace, name);
        }
        const CVariant result(Enabled());
        VariantClear(value);
        CheckHr(trace, result.CopyTo(value));
    });
}

HRESULT CTmsResGpi::SetProperty(IConfigMgr*, const std::string& name, const VARIANT& value, bool,
                                bool*) {
    CTmsEntryPoint trace("CTmsResGpi::SetProperty %s", name.c_str());
    return TMS_ERROR_FRAME(trace, [&] {
        CCriticalSectionLock lock(m_cs);  // inside the frame: lambdas hide it from the analysis
        if (PropertyToken(name) != kEnabledToken) {
            TMS_RAISE(trace, kNotAvailable, "'%s' is not a %s property", name.c_str(),
                      TypeNameUtf8().c_str());
        }
        bool enabled = false;
        try {
            enabled = CVariant(value).ToBool();
        } catch (const _com_error& e) {
            TMS_RAISE(trace, E_INVALIDARG, "%s property '%s' cannot be '%s': it is true or false",
                      TypeNameUtf8().c_str(), name.c_str(), CVariant(value).ToString().c_str());
        }
        m_enabled = enabled;
    });
}

bool CTmsResGpi::Enabled() const {
    CCriticalSectionLock lock(m_cs);
    return m_enabled;
}

void CTmsResGpi::SetEnabled(bool enabled) {
    CCriticalSectionLock lock(m_cs);
    m_enabled = enabled;
}

std::uint32_t CTmsResGpi::OutputMask() const {
    CCriticalSectionLock lock(m_statusCs);
    return m_outputMask;
}

std::uint32_t CTmsResGpi::TickCount() const {
    CCriticalSectionLock lock(m_statusCs);
    return m_tickCount;
}

std::uint16_t CTmsResGpi::StatusCycle() const {
    CCriticalSectionLock lock(m_statusCs);
    return m_cycle;
}

std::vector<GpiOutputRecord> CTmsResGpi::Outputs() const {
    CCriticalSectionLock lock(m_cs);
    return m_outputs;
}

HRESULT CTmsResGpi::StringToVariant(std::int32_t token, VARIANT* value) {
    CCriticalSectionLock lock(m_statusCs);
    CVariant result;
    if (token == kOutputMaskToken) {
        result = CVariant(static_cast<std::int32_t>(m_outputMask));
    } else if (!resource_status::CommonValue(token, m_videoFormat, m_fieldsPerFrame, m_tickCount,
                                             m_errorCode, &result)) {
        return S_FALSE;
    }
    VariantClear(value);
    return result.CopyTo(value);
}
