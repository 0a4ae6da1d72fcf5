// CChannel: reading the channel's configuration (InitFromConfig) and reading
// it again on a client's or another process's request (RefreshConfig).
#include "platform/com/Utf.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "platform/kernel/LastError.h"
#include "tmschannel/channel/ChanAccessTable.h"
#include "tmschannel/channel/Channel.h"
#include "tmschannel/common/ConfigReader.h"
#include "tmschannel/common/StatusBlock.h"
#include "tmschannel/common/Timecode.h"
#include "tmschannel/common/VideoFormat.h"
#include "tmschannel/frame/ComBoundary.h"
#include "tmschannel/resources/TmsResAncData.h"
#include "tmschannel/resources/TmsResAudio.h"
#include "tmschannel/resources/TmsResGpi.h"
#include "tmschannel/resources/TmsResTimecode.h"
#include "tmschannel/resources/TmsResVideo.h"
#include "tmschannel/resources/TmsVfs.h"
#include "tmschannel/rts/RtsMessages.h"

#include <cmath>
#include <cstring>

namespace {

constexpr HRESULT kStatusMutexTimedOut = HR(0x80048007);
constexpr HRESULT kChannelInUse = HRESULT_FROM_WIN32(ERROR_BUSY);

namespace block = channel_block;

}  // namespace

// The end mode a stop mode stands for.
std::int32_t DefaultEndModeFor(std::int32_t stopMode, bool eeAllowed) {
    if (stopMode == 4 && !eeAllowed) {
        stopMode = 3;
    }
    switch (stopMode) {
        case 0:
            return TmsStopDefault;
        case 1:
        case 2:
            return TmsStopFreeze;
        case 3:
            return TmsStopBlack;
        default:
            return TmsStopEE;
    }
}

namespace {

// A resource of a kind that joins the channel's list at its tail.
template <class Resource>
std::shared_ptr<CTmsResource> CreateResource(CEntryPoint& trace, std::int32_t number,
                                             IXMLDOMDocument2* document, IXMLDOMNode* element) {
    auto resource = std::make_shared<Resource>(number);
    CheckHr(trace, resource->InitFromConfig(document, element));
    return resource;
}

// The channel-scoped queries are formatted with the channel index.
std::string ForChannel(const char* format, std::int32_t channelIndex) {
    return FormatText(format, channelIndex);
}

}  // namespace

HRESULT CChannel::InitFromConfig(const std::string& changeHint, IXMLDOMDocument2* document) {
    CCriticalSectionLock lock(m_cs);
    CTmsEntryPoint trace("CChannel::InitFromConfig chanId=%s changeHint='%s'", m_channelId.c_str(),
                         changeHint.c_str());
    return TMS_ERROR_FRAME(trace, [&] {
        CConfigReader read(trace);
        ChannelConfig& c = m_config;
        CComPtr<IXMLDOMNode> channel = read.Node(document, "./Config/Channel");
        if (channel != nullptr) {
            read.Text(channel, "@channelType", &m_channelType);
            read.Text(channel, "@id", &m_channelId);
            read.Long(channel, "@channelIndex", &c.channelIndex);
        }
        rts::SetNarrow(m_owner.channelId, CBstr(m_channelId).ToNarrow());
        m_owner.channelIndex = c.channelIndex;

        if (!m_chanAccess) {
            // A second controller of the channel would queue behind the first
            // at the RTS port, and until then write over its status: it is
            // refused here, before either.
            if (!m_claim.Claim(c.channelIndex, m_application)) {
                if (m_claim.Busy()) {
                    TMS_RAISE(trace, kChannelInUse, "%s: Channel %d is in use by %s",
                              m_channelId.c_str(), c.channelIndex, m_claim.HolderText().c_str());
                }
                TMS_RAISE(trace, E_FAIL, "%s: Could not claim channel %d in %s: %s",
                          m_channelId.c_str(), c.channelIndex,
                          CChannelClaim::PathFor(c.channelIndex).c_str(),
                          std::strerror(m_claim.Error()));
            }
            auto access = std::make_unique<CChanAccess>(c.channelIndex);
            BOOL created = FALSE;
            if (!access->Open(&created)) {
                TMS_RAISE(trace, E_FAIL, "%s: Could not open the status memory of channel %d",
                          m_channelId.c_str(), c.channelIndex);
            }
            // The claim is ours, so whatever the block holds was left by a
            // controller that died (the kernel dropped its claim): its
            // frozen status would read as live until this channel publishes.
            CheckHr(trace, access->ClearChannelStatus());
            m_chanAccess = std::move(access);
            chan_access_table::Set(c.channelIndex, m_chanAccess.get());
        }

        if (CComPtr<IXMLDOMNode> reference =
                read.Node(document, "./Config/System/SystemVideoReference");
            reference != nullptr &&
            read.Text(reference, "@referenceStandard", &c.referenceStandard)) {
            c.videoFormat = tmsvideo::FormatFromName(c.referenceStandard, 255);
            c.fieldsPerFrame = tmsvideo::FieldsPerFrame(c.videoFormat) == 1 ? 1 : 2;
        }
        read.Text(document, "./Config/System/@model", &c.model);

        bool ee = false;
        bool loop = c.loop;
        std::int32_t stopMode = c.stopMode;
        {
            CStatusFileLock status(m_chanAccess.get());
            if (!status.Acquired()) {
                TMS_RAISE(trace, kStatusMutexTimedOut,
                          "%s: Mutex for the channel(%d) status memory-mapped file timed out.",
                          m_channelId.c_str(), c.channelIndex);
            }
            const std::int32_t index = c.channelIndex;
            read.Bool(document, ForChannel("//Channel[@channelIndex=\"%d\"]/Monitor/@ee", index),
                      &ee);
            status.Write8(block::kEe, ee ? 1 : 0);
            c.eeAllowed = read.Node(document, "./Config/Board/NoEe") == nullptr;

            c.gangIndex = c.gangOrder = -1;
            c.singleController = true;
            c.consolidateAudio = false;
            c.consolidateVideo = true;
            c.playSameClip = c.recordSameClip = true;
            c.multicast = false;
            c.multicastName.clear();
            read.Long(document,
                      ForChannel("//Channel[@channelIndex=\"%d\"]/Ganging/@gangIndex", index),
                      &c.gangIndex);
            read.Long(document,
                      ForChannel("//Channel[@channelIndex=\"%d\"]/Ganging/@gangOrder", index),
                      &c.gangOrder);
            status.Write32(block::kGangIndex, static_cast<std::uint32_t>(c.gangIndex));
            status.Write32(block::kGangOrder, static_cast<std::uint32_t>(c.gangOrder));
            if (c.gangIndex >= 0) {
                const std::string gang = FormatText("//Gang[@index=\"%d\"]/", c.gangIndex);
                read.Bool(document, gang + "@singleController", &c.singleController);
                read.Bool(document, gang + "@consolidateAudio", &c.consolidateAudio);
                read.Bool(document, gang + "@consolidateVideo", &c.consolidateVideo);
                read.Bool(document, gang + "@playSameClip", &c.playSameClip);
                read.Bool(document, gang + "@recordSameClip", &c.recordSameClip);
                read.Bool(document, gang + "@multicast", &c.multicast);
                read.Text(document, gang + "@multicastName", &c.multicastName);
            }

            if (CComPtr<IXMLDOMNode> remote = read.Node(
                    document, ForChannel("//Channel[@channelIndex=\"%d\"]/Remote", index));
                remote != nullptr) {
                c.controlPort.clear();
                read.Text(remote, "@controlPort", &c.controlPort);
                status.WriteWide(block::kControlPort, block::kNameChars, c.controlPort);
                read.Text(remote, "@protocol", &c.protocol);
                status.WriteWide(block::kProtocol, block::kNameChars, c.protocol);
                read.Text(remote, "@workingVolume", &c.workingVolume);
                status.WriteWide(block::kWorkingVolume, block::kPathChars, c.workingVolume);
                read.Text(remote, "@workingBin", &c.workingBin);
                status.WriteWide(block::kWorkingBin, block::kPathChars, c.workingBin);
                read.Text(remote, "@ltcTimerInput", &c.ltcTimerInput);
                status.WriteWide(block::kLtcTimerInput, block::kNameChars, c.ltcTimerInput);
                read.Text(remote, "@vitcTimerInput", &c.vitcTimerInput);
                status.WriteWide(block::kVitcTimerInput, block::kNameChars, c.vitcTimerInput);
                read.Long(remote, "@stopMode", &stopMode);
                status.Write32(block::kStopMode, static_cast<std::uint32_t>(stopMode));
                c.localControl = c.remoteControl = true;
                read.Bool(remote, "@localControl", &c.localControl);
                status.Write8(block::kLocalControl, c.localControl ? 1 : 0);
                read.Bool(remote, "@remoteControl", &c.remoteControl);
                status.Write8(block::kRemoteControl, c.remoteControl ? 1 : 0);
            }

            c.timerMode = 1;
            const std::string generator = ForChannel(
                "//TcGenerator[@id=//Channel[@channelIndex=\"%d\"]/Timecode/TcGeneratorComponent/"
                "@id]",
                index);
            read.Text(document, generator + "/@genMode", &c.genMode);
            read.Text(document,
                      ForChannel("//TcCodec[@id=//Channel[@channelIndex=\"%d\"]/Timecode/"
                                 "TcCodecComponent/@id]/@currentTcInput",
                                 index),
                      &c.timecodeInput);
            read.Long(document, generator + "/@genFixedTimecode", &c.fixedTimecode);
            if (c.timecodeInput == "Ltc" || c.timecodeInput == "AncLtc") {
                c.timerMode = 0;
            } else if (c.timecodeInput == "Vitc" || c.timecodeInput == "AncVitc") {
                c.timerMode = 2;
            } else {
                c.timerMode = c.genMode == "FixedStart" ? 1 : 3;
            }
            c.fixedTimecodeDropFrame =
                (static_cast<std::uint32_t>(c.fixedTimecode) & (1u << 29)) != 0;
            status.Write32(block::kTimerMode, static_cast<std::uint32_t>(c.timerMode));
            status.Write8(block::kFixedTimecodeDropFrame, c.fixedTimecodeDropFrame ? 1 : 0);

            loop = false;
            bool continuous = false;
            read.Bool(document, ForChannel("//Channel[@channelIndex=\"%d\"]/@loop", index), &loop);
            read.Bool(document,
                      ForChannel("//Channel[@channelIndex=\"%d\"]/@continuousRecord", index),
                      &continuous);
            read.Text(document,
                      ForChannel("//Channel[@channelIndex=\"%d\"]/@continuousRecordLength", index),
                      &c.continuousRecordLength);
            c.continuousRecord = continuous;
            CTimecode length(tmsvideo::TimecodeFormatCode(c.videoFormat, false));
            length.Parse(c.continuousRecordLength, c.fieldsPerFrame);
            c.continuousRecordFields = static_cast<std::int32_t>(length.ToFieldCount());
            status.Write8(block::kLoop, loop ? 1 : 0);
            status.Write8(block::kContinuousRecord, continuous ? 1 : 0);
            status.Write32(block::kContinuousRecordFields,
                           static_cast<std::uint32_t>(c.continuousRecordFields));
            status.WriteWide(block::kContinuousRecordText, block::kContinuousRecordChars,
                             c.continuousRecordLength);
            // What the timeline limits take from the channel's play list.
            c.autoStop = c.listPauses = c.listRepeats = true;
            read.Bool(document, ForChannel("//Channel[@channelIndex=\"%d\"]/@autoStop", index),
                      &c.autoStop);
            read.Bool(document, ForChannel("//Channel[@channelIndex=\"%d\"]/@listPauses", index),
                      &c.listPauses);
            read.Bool(document, ForChannel("//Channel[@channelIndex=\"%d\"]/@listRepeats", index),
                      &c.listRepeats);

            for (int i = 0; i < ChannelConfig::kChangeStamps; ++i) {
                c.changeStamps[i] = c.lastSeenStamps[i] = status.Read32(block::kChangeStamps[i]);
            }
        }

        if (ee != m_eeState) {
            SetEtoE(ee ? TRUE : FALSE);  // its failure is logged, not raised
        }
        if (stopMode != c.stopMode) {
            c.stopMode = stopMode;
            CheckHr(trace, SetDefaultEndMode(DefaultEndModeFor(stopMode, c.eeAllowed)));
        }
        // A new loop setting purges every context's states.
        const bool loopChanged = c.loop != loop;
        c.loop = loop;
        ShareContextSettings();
        if (loopChanged) {
            for (const auto& context : m_contexts) {
                if (const HRESULT hr = context->PurgeAllStates(); FAILED(hr)) {
                    CheckHr(trace, hr);
                }
            }
        }

        CreateOrRefreshResources(trace, document);
        const auto resources = Resources();
        int audio = 0;
        for (const auto& r : resources) {
            audio += r->TypeName() == u"audio" ? 1 : 0;
        }
        if (CStatusFileLock status(m_chanAccess.get()); status.Acquired()) {
            status.WriteWide(block::kChannelId, block::kNameChars, m_channelId);
            status.WriteWide(block::kChannelType, block::kNameChars, m_channelType);
            status.WriteWide(block::kReferenceStandard, block::kReferenceChars,
                             c.referenceStandard);
            status.Write32(block::kVideoFormat, static_cast<std::uint32_t>(c.videoFormat));
            status.Write32(block::kFieldsPerFrame, static_cast<std::uint32_t>(c.fieldsPerFrame));
            status.Write32(block::kAudioResources, static_cast<std::uint32_t>(audio));
        }

        // A changed GPI output map changes what queued states do: the RTS
        // drops those of every allocated context.
        const bool gpoutChanged = changeHint.find("gpout") != std::string::npos;
        for (const auto& context : m_contexts) {
            CheckHr(trace, context->InitFromConfig(document, gpoutChanged));
        }

        unsigned int capabilities1 = 0, capabilities2 = 0;
        GetChannelCapabilities(&capabilities1, &capabilities2);
        if (CStatusFileLock status(m_chanAccess.get()); status.Acquired()) {
            status.WriteWide(block::kApplication, block::kNameChars, m_application);
            status.Write32(block::kCapabilities1, capabilities1);
            status.Write32(block::kCapabilities2, capabilities2);
        }

        if (CComPtr<IXMLDOMNode> panel = read.Node(document, "./Config/Panel"); panel != nullptr) {
            float low = c.shuttleSpeedMin;
            float high = c.shuttleSpeedMax;
            read.Float(panel, "@shuttleSpeedMin", &low);
            read.Float(panel, "@shuttleSpeedMax", &high);
            // Every client speed is judged against this range and GPI rewind
            // and fast forward send its ends: one that is no range would let
            // any speed through, or send one the RTS cannot play. An operator
            // mistake, not a reason to keep the channel off air.
            if (!std::isfinite(low) || !std::isfinite(high) || low > high) {
                trace.LogMsg(
                    "%s: Configured shuttle speed range %g to %g is not a range; using %g to %g",
                    m_channelId.c_str(), static_cast<double>(low), static_cast<double>(high),
                    static_cast<double>(ChannelConfig::kDefaultShuttleSpeedMin),
                    static_cast<double>(ChannelConfig::kDefaultShuttleSpeedMax));
                low = ChannelConfig::kDefaultShuttleSpeedMin;
                high = ChannelConfig::kDefaultShuttleSpeedMax;
            }
            c.shuttleSpeedMin = low;
            c.shuttleSpeedMax = high;
        }
        // Read after the other settings were shared: the contexts judge
        // speeds by this range from the first change on.
        ShareContextSettings();
    });
}

void CChannel::CreateOrRefreshResources(CEntryPoint& trace, IXMLDOMDocument2* document) {
    CConfigReader read(trace);
    CComPtr<IXMLDOMNode> channel = read.Node(document, "./Config/Channel");
    if (channel == nullptr) {
        return;
    }
    const auto elements = read.All(read.Nodes(channel, "*"));
    if (Resources().empty()) {
        TmsVfs().ReportResource(m_config.channelIndex, gfsResChannelCreated);
        std::vector<std::shared_ptr<CTmsResource>> created;
        std::int32_t videos = 0;
        std::int32_t audios = 0;
        std::int32_t timecodes = 0;
        std::int32_t ancs = 0;
        for (const auto& element : elements) {
            const std::string name = read.NodeName(element);
            if (name == "Video") {
                auto video = std::make_shared<CTmsResVideo>(videos++);
                CheckHr(trace, video->InitFromConfig(document, element));
                created.insert(created.begin(), video);
            } else if (name == "Audio") {
                created.push_back(CreateResource<CTmsResAudio>(trace, audios++, document, element));
            } else if (name == "Timecode") {
                created.push_back(
                    CreateResource<CTmsResTimecode>(trace, timecodes++, document, element));
            } else if (name == "AncData") {
                created.push_back(CreateResource<CTmsResAncData>(trace, ancs++, document, element));
            } else if (name == "Gpi") {
                // One GPI resource per element, always number 0.
                created.push_back(CreateResource<CTmsResGpi>(trace, 0, document, element));
            }
        }
        CCriticalSectionLock shared(m_sharedCs);
        m_resources = std::move(created);
        return;
    }
    std::int32_t videos = 0;
    std::int32_t audios = 0;
    std::int32_t timecodes = 0;
    std::int32_t ancs = 0;
    for (const auto& element : elements) {
        const std::string name = read.NodeName(element);
        std::string kind = name;
        std::int32_t number = 0;
        if (name == "Video") {
            number = videos++;
        } else if (name == "Audio") {
            number = audios++;
        } else if (name == "Timecode") {
            number = timecodes++;
        } else if (name == "AncData") {
            kind = "AncillaryData";
            number = ancs++;
        } else if (name != "Gpi") {
            continue;
        }
        std::shared_ptr<CTmsResource> resource;
        CheckHr(trace, FindTmsResource(kind, number, &resource));
        CheckHr(trace, resource->InitFromConfig(document, element));
    }
}

HRESULT CChannel::RefreshConfig(BSTR bstrChangeHint) {
    CCriticalSectionLock lock(m_cs);
    const std::string hint = CBstr::FromBstr(bstrChangeHint).ToUtf8();
    CTmsEntryPoint trace("CChannel::RefreshConfig %s", hint.c_str());
    return TMS_COM_BOUNDARY(trace, IID_ITmsChannel, [&] {
        CComPtr<IConfigMgr> manager = ConfigMgr();
        if (!m_opened || manager == nullptr) {
            TMS_RAISE(trace, E_UNEXPECTED, "RefreshConfig: the channel is not open");
        }
        CComPtr<IXMLDOMDocument2> document = NewDocument(trace);
        CVariant target(static_cast<IDispatch*>(document.Get()));
        TMS_CHECK_COM(trace, manager->LoadSystemConfig(&target.GetVARIANT()));
        CConfigReader read(trace);
        if (CComPtr<IXMLDOMNode> config = read.Node(document, "./Config"); config != nullptr) {
            for (auto& channel : read.All(read.Nodes(document, "./Config/Channel"))) {
                std::int32_t index = -1;
                read.Long(channel, "@channelIndex", &index);
                if (index != m_config.channelIndex) {
                    CComPtr<IXMLDOMNode> removed;
                    TMS_CHECK_COM(trace, config->removeChild(channel, &removed));
                }
            }
        }
        CheckHr(trace, InitFromConfig(hint, document));
        const bool gpin = hint.find("gpin") != std::string::npos;
        if (gpin || hint.find("gpout") != std::string::npos) {
            trace.LogMsg("%s: Refreshing port due to GPI changes.", m_channelId.c_str());
            const std::string text = ConfigTextWithoutBoards(trace, document);
            CMmioMsg refresh(rts::kLargeMessageSize);
            CheckHr(trace, rts::BuildRefreshMessage(refresh, text));
            Send(trace, refresh);
        }
        if (gpin) {
            CheckHr(trace, HandleGpiInputInit(document));
        }
    });
}
