// CChannel: channel settings read and changed by name. A change is kept in
// the channel, persisted through the configuration manager, mirrored into
// the channel's status block where the block carries it, and announced by
// change stamps so that other processes holding the channel re-read their
// configuration (the status monitor compares the stamps every cycle).
#include "platform/com/Bstr.h"
#include "platform/com/VariantArray.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "platform/kernel/Ticks.h"
#include "server/appserverutil/StatusMemoryLayout.h"
#include "tmschannel/channel/ChanAccessTable.h"
#include "tmschannel/channel/Channel.h"
#include "tmschannel/channel/ChannelPropertyNames.h"
#include "tmschannel/channel/ResourceCensus.h"
#include "tmschannel/common/ConfigReader.h"
#include "tmschannel/common/NameQuery.h"
#include "tmschannel/common/StatusBlock.h"
#include "tmschannel/common/Timecode.h"
#include "tmschannel/common/VideoFormat.h"
#include "tmschannel/frame/ComBoundary.h"

#include "platform/com/ComError.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace {

using namespace channel_property;
namespace block = channel_block;

constexpr HRESULT kBadProperty = HR(0x80043018);
// Indices into ChannelConfig's change stamps.
constexpr int kMaster = 0;
constexpr int kChan = 2;
constexpr int kGang = 3;
constexpr int kRemote = 6;
// Bit 29 of the packed fixed timecode: drop frame.
constexpr std::uint32_t kDropFrameBit = 1u << 29;

std::string ChannelPath(std::int32_t index, const char* below = "") {
    return FormatText("//Channel[@channelIndex=\"%d\"]%s", index, below);
}

}  // namespace

std::int32_t CChannel::ContinuousRecordSegmentFields() const {
    CCriticalSectionLock shared(m_sharedCs);
    return m_contextContinuousRecordFields;
}

// Recomputed at open, on refresh and on every change of continuous record
// or its length: a length change that left the segment as it was (0 while
// continuous record was off) would stall the trim of the continuous record.
std::int32_t CChannel::ComputeContinuousRecordSegment() const {
    const std::uint16_t rate = tmsvideo::TimecodeFormatCode(m_config.videoFormat, false);
    const auto threeSeconds =
        rate != 0 ? static_cast<std::int32_t>(CTimecode(0, 0, 3, 0, rate).ToFieldCount()) : 180;
    const auto resources = Resources();
    return ContinuousRecordSegment(m_config.continuousRecord, m_config.continuousRecordFields,
                                   threeSeconds, CResourceCensus(resources).FieldGranularity());
}

HRESULT CChannel::GetChannelProperty(BSTR bstrPropertyQuery, VARIANT* pvarProperty) {
    CCriticalSectionLock lock(m_cs);
    const std::string query = CBstr::FromBstr(bstrPropertyQuery).ToUtf8();
    CTmsEntryPoint trace("CChannel::GetChannelProperty");
    return TMS_COM_BOUNDARY(trace, IID_ITmsChannel, [&] {
        if (pvarProperty == nullptr) {
            TMS_RAISE(trace, E_POINTER, "GetChannelProperty: no place for the result");
        }
        if (!m_opened) {
            TMS_RAISE(trace, E_UNEXPECTED, "GetChannelProperty: the channel is not open");
        }
        const std::vector<std::string> names = SplitNameQuery(query);
        if (names.empty()) {
            TMS_RAISE(trace, E_INVALIDARG, "Property query cannot be empty");
        }
        std::vector<const ChannelPropertyName*> entries;
        for (const std::string& piece : names) {
            const std::string name = LowerName(piece);
            const ChannelPropertyName* entry = Find(name);
            if (entry == nullptr) {
                TMS_RAISE(trace, kBadProperty, "%s: Unknown property '%s'", m_channelId.c_str(),
                          name.c_str());
            }
            entries.push_back(entry);
        }
        HRESULT result = S_OK;
        std::vector<CVariant> values(entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const HRESULT hr = ToVariant(entries[i]->id, values[i].GetAddress());
            CheckHr(trace, hr);
            result = hr == S_FALSE ? S_FALSE : result;
        }
        VariantClear(pvarProperty);
        if (values.size() == 1) {
            CheckHr(trace, values[0].CopyTo(pvarProperty));
        } else {
            CheckHr(trace, MakeVariantArray(values, 0).CopyTo(pvarProperty));
        }
        trace.SetResult(result);
    });
}

HRESULT CChannel::ToVariant(std::int32_t id, VARIANT* value) {
    CTmsEntryPoint trace("CChannel::ToVariant");
    return TMS_ERROR_FRAME(trace, [&] {
        const ChannelConfig& c = m_config;
        CVariant out;
        const auto resources = Resources();
        const CResourceCensus census(resources);
        auto video = [&](const char* name) {
            // The first video resource answers; without one there is no value.
            if (CResourceCensus(resources).Count(u"video") == 0) {
                return;
            }
            CheckHr(trace, GetResourceProperty(CBstr("video"), 0, CBstr(name), out.GetAddress()));
        };
        switch (id) {
            case kAutoStop:
                out = CVariant(c.autoStop);
                break;
            case kListPauses:
                out = CVariant(c.listPauses);
                break;
            case kListRepeats:
                out = CVariant(c.listRepeats);
                break;
            case kAudioPair:
                break;
            case kGanged:
                out = CVariant(c.gangIndex >= 0);
                break;
            case kGangIndex:
                out = CVariant(c.gangIndex);
                break;
            case kPlaySameClip:
                out = CVariant(c.playSameClip);
                break;
            case kRecordSameClip:
                out = CVariant(c.recordSameClip);
                break;
            case kMulticast:
                out = CVariant(c.multicast);
                break;
            case kMulticastName:
                out = CVariant(c.multicastName);
                break;
            case kProtocol:
                out = CVariant(c.protocol);
                break;
            case kWorkingVolume:
                out = CVariant(c.workingVolume);
                break;
            case kWorkingBin:
                out = CVariant(c.workingBin);
                break;
            case kStopMode:
                out = CVariant(c.stopMode);
                break;
            case kTimerMode:
                out = CVariant(c.timerMode);
                break;
            case kLocalControl:
                out = CVariant(c.localControl);
                break;
            case kFixedTimecodeDf:
                out = CVariant(c.fixedTimecodeDropFrame);
                break;
            case kRemoteControl:
                out = CVariant(c.remoteControl);
                break;
            case kControlPort: {
                // The block holds what any process last set for the channel.
                const CStatusFileLock status(m_chanAccess.get());
                out = CVariant(status.Acquired()
                                   ? status.ReadWide(block::kControlPort, block::kNameChars)
                                   : c.controlPort);
                break;
            }
            case kChannelType:
                out = CVariant(m_channelType);
                break;
            case kChannelName:
            case kChannelId:
                out = CVariant(m_channelId);
                break;
            case kGangOrder:
                out = CVariant(c.gangOrder);
                break;
            case kLoopPlayback:
                out = CVariant(c.loop);
                break;
            case kAspectRatio:
                video("aspectratio");
                break;
            case kSingleController:
                out = CVariant(c.singleController);
                break;
            case kConsolidateAudio:
                out = CVariant(c.consolidateAudio);
                break;
            case kConsolidateVideo:
                out = CVariant(c.consolidateVideo);
                break;
            case kNumA:
                out = CVariant(census.Count(u"audio"));
                break;
            case kNumAForRecord:
                out = CVariant(census.CountForRecord(u"audio"));
                break;
            case kNumV:
                out = CVariant(census.Count(u"video"));
                break;
            case kNumVForRecord:
                out = CVariant(census.CountForRecord(u"video"));
                break;
            case kEtoE:
                out = CVariant(m_eeState.load());
                break;
            case kContinuousRecord:
                out = CVariant(c.continuousRecord);
                break;
            case kContRecLength:
                out = CVariant(c.continuousRecordFields);
                break;
            case kSuspendContRec:
                out = CVariant(c.continuousRecordSuspended);
                break;
            case kBidirectional:
                out = CVariant(m_bidirectional && m_channelType == "PlayerRecorder");
                break;
            case kHdInput:
                video("hdinput");
                break;
            case kLtcTimerInput:
                out = CVariant(c.ltcTimerInput);
                break;
            case kVitcTimerInput:
                out = CVariant(c.vitcTimerInput);
                break;
            case kDefaultAfd:
                video("defaultafd");
                break;
            default:
                TMS_RAISE(trace, E_UNEXPECTED, "No channel property has id %d", id);
        }
        VariantClear(value);
        CheckHr(trace, out.CopyTo(value));
        trace.SetResult(out.IsEmpty() ? S_FALSE : S_OK);
    });
}

HRESULT CChannel::SetChannelProperty(BSTR bstrProperty, VARIANT varProperty) {
    CCriticalSectionLock lock(m_cs);
    const DWORD tick = GetTickCount();
    const std::string spec = CBstr::FromBstr(bstrProperty).ToUtf8();
    CTmsEntryPoint trace("CChannel::SetChannelProperty %s", spec.c_str());
    return TMS_COM_BOUNDARY(trace, IID_ITmsChannel, [&] {
        if (!m_opened) {
            TMS_RAISE(trace, E_UNEXPECTED, "SetChannelProperty: the channel is not open");
        }
        const std::vector<std::string> names = SplitNameQuery(spec);
        if (names.empty()) {
            TMS_RAISE(trace, E_INVALIDARG, "The property name cannot be empty");
        }
        std::vector<CVariant> values;
        if (names.size() == 1) {
            values.emplace_back(varProperty);
        } else {
            if ((varProperty.vt & VT_ARRAY) == 0) {
                TMS_RAISE(trace, E_INVALIDARG,
                          "%s: Setting %d properties '%s' needs an array of %d values",
                          m_channelId.c_str(), static_cast<int>(names.size()), spec.c_str(),
                          static_cast<int>(names.size()));
            }
            values = ReadVariantArray(varProperty);
            if (values.size() != names.size()) {
                TMS_RAISE(trace, E_INVALIDARG, "%s: '%s' names %d properties but %d values came",
                          m_channelId.c_str(), spec.c_str(), static_cast<int>(names.size()),
                          static_cast<int>(values.size()));
            }
        }
        // Every name is checked before any is set: a refused one leaves the
        // others as they were.
        for (const std::string& piece : names) {
            const ChannelPropertyName* entry = Find(LowerName(piece));
            if (entry == nullptr || !entry->settable) {
                TMS_RAISE(trace, kBadProperty, "'%s' property cannot be set in this manner.",
                          LowerName(piece).c_str());
            }
        }
        for (std::size_t i = 0; i < names.size(); ++i) {
            CheckHr(trace, FromVariant(LowerName(names[i]), values[i], tick));
        }
        trace.SetResult(S_OK);
    });
}

bool CChannel::PropertyBool(CEntryPoint& trace, const std::string& name, const CVariant& value) {
    try {
        if (value.IsEmpty()) {
            _com_issue_error(DISP_E_TYPEMISMATCH);
        }
        return value.ToBool();
    } catch (const _com_error&) {
        TMS_RAISE(trace, E_INVALIDARG, "%s: '%s' property takes a boolean; '%s' is not one",
                  m_channelId.c_str(), name.c_str(), VariantText(value).c_str());
    }
}

std::int32_t CChannel::PropertyLong(CEntryPoint& trace, const std::string& name,
                                    const CVariant& value) {
    try {
        if (value.IsEmpty() || value.Type() == VT_BOOL) {
            _com_issue_error(DISP_E_TYPEMISMATCH);
        }
        return value.ToInt32();
    } catch (const _com_error&) {
        TMS_RAISE(trace, E_INVALIDARG, "%s: '%s' property takes a number; '%s' is not one",
                  m_channelId.c_str(), name.c_str(), VariantText(value).c_str());
    }
}

std::string CChannel::PropertyText(CEntryPoint& trace, const std::string& name,
                                   const CVariant& value) {
    if (value.Type() != VT_BSTR) {
        TMS_RAISE(trace, E_INVALIDARG, "%s: '%s' property takes text; '%s' is not text",
                  m_channelId.c_str(), name.c_str(), VariantText(value).c_str());
    }
    return value.ToString();
}

std::string CChannel::VariantText(const CVariant& value) {
    if (value.IsEmpty()) {
        return "(empty)";
    }
    try {
        return value.ToString();
    } catch (const _com_error&) {
        return FormatText("(a value of type %d)", static_cast<int>(value.Type()));
    }
}

void CChannel::PersistSetting(CEntryPoint& trace, const std::string& xpath, const char* attribute,
                              const CVariant& value) {
    CComPtr<IConfigMgr> manager = ConfigMgr();
    if (manager == nullptr) {
        TMS_RAISE(trace, E_UNEXPECTED, "%s: no configuration manager to keep '%s'",
                  m_channelId.c_str(), attribute);
    }
    TMS_CHECK_COM(trace,
                  manager->SetConfigAttribute(CBstr(xpath), attribute, value.GetVARIANT(), -1));
}

void CChannel::AnnounceSetting(CEntryPoint& trace, DWORD tick, std::initializer_list<int> stamps,
                               const std::function<void(const CStatusFileLock&)>& write) {
    CStatusFileLock status(m_chanAccess.get());
    if (!status.Acquired()) {
        trace.LogMsg("%s: status memory busy: the change is not announced to other processes",
                     m_channelId.c_str());
        return;
    }
    if (write) {
        write(status);
    }
    for (const int stamp : stamps) {
        status.Write32(block::kChangeStamps[stamp], tick);
        m_config.changeStamps[stamp] = tick;
        // This process already has the change: it must not refresh itself.
        m_config.lastSeenStamps[stamp] = tick;
    }
    status.Write32(block::kStampMaster, tick);
    m_config.changeStamps[kMaster] = tick;
    if (std::find(stamps.begin(), stamps.end(), kGang) != stamps.end()) {
        StampGangMembers(status, tick);
    }
}

void CChannel::StampGangMembers(const CStatusFileLock& status, DWORD tick) {
    const std::int32_t gang = m_config.gangIndex;
    std::uint8_t* view = m_chanAccess ? m_chanAccess->View() : nullptr;
    if (gang < 0 || view == nullptr || status.Block() == nullptr) {
        return;
    }
    // A gang member open in another process watches only its own block.
    // The status-file mutex held here covers every block of the memory.
    for (int other = 0; other < statusmem::kMaxChannels; ++other) {
        std::uint8_t* b = view + static_cast<std::size_t>(other) * statusmem::kBlockSize;
        std::int32_t theirs = -1;
        std::memcpy(&theirs, b + block::kGangIndex, 4);
        if (b == status.Block() || theirs != gang) {
            continue;
        }
        std::memcpy(b + block::kStampGang, &tick, 4);
        std::memcpy(b + block::kStampMaster, &tick, 4);
    }
}

void CChannel::SetComponentSetting(CEntryPoint& trace, const char* type, const char* attribute,
                                   const CVariant& value) {
    const std::string kind = type;
    if (CResourceCensus(Resources()).Count(CBstr(kind).View()) > 0) {
        CheckHr(trace, SetResourceProperty(CBstr(type), 0, CBstr(attribute), value.GetVARIANT()));
        return;
    }
    // A channel without the resource still has its configured component.
    const std::int32_t index = m_config.channelIndex;
    std::string xpath;
    if (std::string(type) == "video") {
        xpath = ChannelPath(index, "/Video");
    } else if (std::string(attribute) == "currentTcInput") {
        xpath = FormatText(
            "//TcCodec[@id=//Channel[@channelIndex=\"%d\"]/Timecode/TcCodecComponent/@id]", index);
    } else {
        xpath = FormatText(
            "//TcGenerator[@id=//Channel[@channelIndex=\"%d\"]/Timecode/TcGeneratorComponent/@id]",
            index);
    }
    PersistSetting(trace, xpath, attribute, value);
}

HRESULT CChannel::FromVariant(const std::string& name, const CVariant& value, DWORD tick) {
    CTmsEntryPoint trace("CChannel::FromVariant %s", name.c_str());
    return TMS_ERROR_FRAME(trace, [&] {
        const ChannelPropertyName* entry = Find(name);
        if (entry == nullptr || !entry->settable) {
            TMS_RAISE(trace, kBadProperty, "'%s' property cannot be set in this manner.",
                      name.c_str());
        }
        ChannelConfig& c = m_config;
        const std::int32_t index = c.channelIndex;
        const std::string channel = ChannelPath(index);
        const std::string remote = ChannelPath(index, "/Remote");
        auto remoteText = [&](std::string* member, const char* attribute, std::size_t offset,
                              std::size_t chars) {
            *member = PropertyText(trace, name, value);
            PersistSetting(trace, remote, attribute, CVariant(*member));
            AnnounceSetting(trace, tick, {kRemote},
                            [&](const CStatusFileLock& s) { s.WriteWide(offset, chars, *member); });
        };
        auto remoteBool = [&](bool* member, const char* attribute, std::size_t offset) {
            *member = PropertyBool(trace, name, value);
            PersistSetting(trace, remote, attribute, CVariant(*member));
            AnnounceSetting(trace, tick, {kRemote},
                            [&](const CStatusFileLock& s) { s.Write8(offset, *member ? 1 : 0); });
        };
        // A gang setting: every attribute is persisted and the member
        // written before the one announcement, so that a process that
        // re-reads on the stamp finds them all.
        auto gangBool = [&](std::initializer_list<const char*> attributes,
                            std::initializer_list<bool*> members) {
            const bool on = PropertyBool(trace, name, value);
            if (c.gangIndex < 0) {
                TMS_RAISE(trace, E_INVALIDARG, "%s: '%s' needs a ganged channel; gang index is %d",
                          m_channelId.c_str(), name.c_str(), c.gangIndex);
            }
            const std::string gang = FormatText("//Gang[@index=\"%d\"]", c.gangIndex);
            for (const char* attribute : attributes) {
                PersistSetting(trace, gang, attribute, CVariant(on));
            }
            for (bool* member : members) {
                *member = on;
            }
            AnnounceSetting(trace, tick, {kGang}, nullptr);
        };
        // A play-list setting the contexts read.
        auto playListBool = [&](bool* member, const char* attribute) {
            *member = PropertyBool(trace, name, value);
            ShareContextSettings();
            if (attribute != nullptr) {
                PersistSetting(trace, channel, attribute, CVariant(*member));
            }
        };
        switch (entry->id) {
            case kAutoStop:
                playListBool(&c.autoStop, "autoStop");
                break;
            case kListPauses:
                playListBool(&c.listPauses, "listPauses");
                break;
            case kListRepeats:
                playListBool(&c.listRepeats, "listRepeats");
                break;
            case kAudioPair: {
                PersistSetting(trace, ChannelPath(index, "/Monitor"), "audioPair",
                               CVariant(PropertyLong(trace, name, value)));
                AnnounceSetting(trace, tick, {}, [&](const CStatusFileLock& s) {
                    s.Write32(block::kStampMonitor, tick);
                });
                break;
            }
            case kProtocol:
                remoteText(&c.protocol, "protocol", block::kProtocol, block::kNameChars);
                break;
            case kWorkingVolume:
                remoteText(&c.workingVolume, "workingVolume", block::kWorkingVolume,
                           block::kPathChars);
                break;
            case kWorkingBin:
                remoteText(&c.workingBin, "workingBin", block::kWorkingBin, block::kPathChars);
                break;
            case kLtcTimerInput:
                remoteText(&c.ltcTimerInput, "ltcTimerInput", block::kLtcTimerInput,
                           block::kNameChars);
                break;
            case kVitcTimerInput:
                remoteText(&c.vitcTimerInput, "vitcTimerInput", block::kVitcTimerInput,
                           block::kNameChars);
                break;
            case kControlPort:
                remoteText(&c.controlPort, "controlPort", block::kControlPort, block::kNameChars);
                break;
            case kStopMode: {
                const std::int32_t mode = PropertyLong(trace, name, value);
                if (mode < 0 || mode > 4) {
                    TMS_RAISE(trace, E_INVALIDARG, "%s: stop mode %d is not 0 to 4",
                              m_channelId.c_str(), mode);
                }
                c.stopMode = mode;
                CheckHr(trace, SetDefaultEndMode(DefaultEndModeFor(mode, c.eeAllowed)));
                PersistSetting(trace, remote, "stopMode", CVariant(mode));
                AnnounceSetting(trace, tick, {kRemote}, [&](const CStatusFileLock& s) {
                    s.Write32(block::kStopMode, static_cast<std::uint32_t>(mode));
                });
                break;
            }
            case kTimerMode:
                SetTimerMode(trace, PropertyLong(trace, name, value), tick);
                break;
            case kLocalControl:
                remoteBool(&c.localControl, "localControl", block::kLocalControl);
                break;
            case kRemoteControl:
                remoteBool(&c.remoteControl, "remoteControl", block::kRemoteControl);
                break;
            case kFixedTimecodeDf: {
                const bool drop = PropertyBool(trace, name, value);
                c.fixedTimecodeDropFrame = drop;
                if (CResourceCensus(Resources()).Count(u"timecode") > 0) {
                    SetComponentSetting(trace, "timecode", "genFixedTimecode",
                                        CVariant(drop ? "00:00:00,00" : "00:00:00.00"));
                } else {
                    // Configuration keeps the packed word; its drop-frame bit
                    // is what the channel reads back.
                    auto word = static_cast<std::uint32_t>(c.fixedTimecode);
                    word = drop ? (word | kDropFrameBit) : (word & ~kDropFrameBit);
                    c.fixedTimecode = static_cast<std::int32_t>(word);
                    SetComponentSetting(trace, "timecode", "genFixedTimecode",
                                        CVariant(c.fixedTimecode));
                }
                AnnounceSetting(trace, tick, {kRemote}, [&](const CStatusFileLock& s) {
                    s.Write8(block::kFixedTimecodeDropFrame, drop ? 1 : 0);
                });
                break;
            }
            case kLoopPlayback: {
                const bool loop = PropertyBool(trace, name, value);
                const bool changed = loop != c.loop;
                c.loop = loop;
                ShareContextSettings();
                if (changed) {
                    for (const auto& context : m_contexts) {
                        // A context without a timeline has nothing to purge (S_FALSE).
                        if (const HRESULT hr = context->PurgeAllStates(); FAILED(hr)) {
                            CheckHr(trace, hr);
                        }
                    }
                }
                PersistSetting(trace, channel, "loop", CVariant(loop));
                AnnounceSetting(trace, tick, {kChan}, [&](const CStatusFileLock& s) {
                    s.Write8(block::kLoop, loop ? 1 : 0);
                });
                break;
            }
            case kAspectRatio:
                SetComponentSetting(trace, "video", "aspectRatio", value);
                AnnounceSetting(trace, tick, {kChan}, nullptr);
                // The video resource answers from its configuration.
                CheckHr(trace, RefreshConfig(CBstr("chan")));
                break;
            case kDefaultAfd:
                SetComponentSetting(trace, "video", "defaultafd", value);
                AnnounceSetting(trace, tick, {kChan}, nullptr);
                // The video resource answers from its configuration.
                CheckHr(trace, RefreshConfig(CBstr("chan")));
                break;
            case kSingleController:
                gangBool({"singleController", "playSameClip", "recordSameClip"},
                         {&c.singleController, &c.playSameClip, &c.recordSameClip});
                break;
            case kConsolidateAudio:
                gangBool({"consolidateAudio"}, {&c.consolidateAudio});
                break;
            case kConsolidateVideo:
                gangBool({"consolidateVideo"}, {&c.consolidateVideo});
                break;
            case kEtoE:
                CheckHr(trace, SetEtoE(PropertyBool(trace, name, value) ? TRUE : FALSE));
                break;
            case kContinuousRecord: {
                const bool on = PropertyBool(trace, name, value);
                c.continuousRecord = on;
                ShareContextSettings();
                PersistSetting(trace, channel, "continuousRecord", CVariant(on));
                AnnounceSetting(trace, tick, {kChan}, [&](const CStatusFileLock& s) {
                    s.Write8(block::kContinuousRecord, on ? 1 : 0);
                });
                break;
            }
            case kContRecLength: {
                const std::int32_t fields = PropertyLong(trace, name, value);
                if (fields < 0) {
                    TMS_RAISE(trace, E_INVALIDARG,
                              "%s: continuous-record length %d fields is negative",
                              m_channelId.c_str(), fields);
                }
                c.continuousRecordFields = fields;
                // Kept as the timecode text configuration reads back.
                CTimecode length(fields, tmsvideo::TimecodeFormatCode(c.videoFormat, false));
                c.continuousRecordLength = length.ToString();
                ShareContextSettings();
                PersistSetting(trace, channel, "continuousRecordLength",
                               CVariant(c.continuousRecordLength));
                AnnounceSetting(trace, tick, {kChan}, [&](const CStatusFileLock& s) {
                    s.Write32(block::kContinuousRecordFields, static_cast<std::uint32_t>(fields));
                    s.WriteWide(block::kContinuousRecordText, block::kContinuousRecordChars,
                                c.continuousRecordLength);
                });
                break;
            }
            case kSuspendContRec:
                // Not kept in configuration: a suspension lasts for this open.
                playListBool(&c.continuousRecordSuspended, nullptr);
                break;
            case kBidirectional:
                m_bidirectional = PropertyBool(trace, name, value);
                break;
            case kGangIndex:
                SetGangIndex(trace, PropertyLong(trace, name, value), tick);
                break;
            default:
                TMS_RAISE(trace, kBadProperty, "'%s' property cannot be set in this manner.",
                          name.c_str());
        }
    });
}

void CChannel::SetTimerMode(CEntryPoint& trace, std::int32_t mode, DWORD tick) {
    if (mode < 0 || mode > 3) {
        TMS_RAISE(trace, E_INVALIDARG, "%s: timer mode %d is not 0 to 3", m_channelId.c_str(),
                  mode);
    }
    ChannelConfig& c = m_config;
    c.timerMode = mode;
    PersistSetting(trace, ChannelPath(c.channelIndex, "/Remote"), "timerMode", CVariant(mode));
    bool hd = false;
    if (CResourceCensus(Resources()).Count(u"video") > 0) {
        CVariant hdInput;
        CheckHr(trace,
                GetResourceProperty(CBstr("video"), 0, CBstr("hdinput"), hdInput.GetAddress()));
        hd = !hdInput.IsEmpty() && hdInput.ToBool();
    }
    switch (mode) {
        case 0:
            c.timecodeInput = hd && c.ltcTimerInput == "AncLtc" ? "AncLtc" : "Ltc";
            break;
        case 2:
            c.timecodeInput = hd ? "AncVitc" : "Vitc";
            break;
        case 1:
            c.timecodeInput = "Internal";
            c.genMode = "FixedStart";
            break;
        default:
            c.timecodeInput = "Internal";
            c.genMode = "TimeOfDay";
            break;
    }
    SetComponentSetting(trace, "timecode", "currentTcInput", CVariant(c.timecodeInput));
    if (mode == 1 || mode == 3) {
        SetComponentSetting(trace, "timecode", "genMode", CVariant(c.genMode));
    }
    AnnounceSetting(trace, tick, {kRemote}, [&](const CStatusFileLock& s) {
        s.Write32(block::kTimerMode, static_cast<std::uint32_t>(mode));
    });
}

void CChannel::SetGangIndex(CEntryPoint& trace, std::int32_t gangIndex, DWORD tick) {
    ChannelConfig& c = m_config;
    if (gangIndex == c.gangIndex) {
        return;
    }
    if (gangIndex < -1) {
        TMS_RAISE(trace, E_INVALIDARG, "%s: gang index %d is not -1 (none) or more",
                  m_channelId.c_str(), gangIndex);
    }
    const std::int32_t self = c.channelIndex;
    // What a new member takes over from the gang's leader (the lowest
    // channel of the gang).
    struct Shared {
        bool loop = false;
        bool ee = false;
        bool continuous = false;
        std::int32_t fields = 0;
        std::string text;
    } shared;
    std::int32_t order = -1;
    std::vector<std::int32_t> members;
    bool loopChanged = false;
    bool eeChanged = false;
    {
        CStatusFileLock status(m_chanAccess.get());
        if (!status.Acquired()) {
            TMS_RAISE(trace, HR(0x80048007),
                      "%s: Mutex for the channel(%d) status memory-mapped file timed out.",
                      m_channelId.c_str(), self);
        }
        // Other channels' blocks are read under the table's mutex: Close of
        // one of them cannot free its status memory meanwhile.
        auto gangOf = [](const CChanAccess* access, std::int32_t* gang) {
            const std::uint8_t* b = access != nullptr ? access->StatusBlock() : nullptr;
            if (b != nullptr) {
                std::memcpy(gang, b + block::kGangIndex, 4);
            }
            return b;
        };
        bool hasLeader = false;
        if (gangIndex >= 0) {
            order = 0;
            for (int other = 0; other < self && other < chan_access_table::kEntries; ++other) {
                chan_access_table::With(other, [&](const CChanAccess* access) {
                    std::int32_t theirs = -1;
                    const std::uint8_t* b = gangOf(access, &theirs);
                    if (b == nullptr || theirs != gangIndex) {
                        return;
                    }
                    if (!hasLeader) {
                        hasLeader = true;
                        shared.ee = b[block::kEe] != 0;
                        shared.loop = b[block::kLoop] != 0;
                        shared.continuous = b[block::kContinuousRecord] != 0;
                        std::memcpy(&shared.fields, b + block::kContinuousRecordFields, 4);
                        shared.text = ReadWideField(b, block::kContinuousRecordText,
                                                    block::kContinuousRecordChars);
                    }
                    ++order;
                });
            }
        }
        for (int other = self; other < chan_access_table::kEntries; ++other) {
            chan_access_table::With(other, [&](const CChanAccess* access) {
                std::int32_t theirs = -1;
                const std::uint8_t* b = gangOf(access, &theirs);
                if (other == self || (b != nullptr && theirs == gangIndex)) {
                    members.push_back(other);
                }
            });
        }
        const bool oldLoop = c.loop;
        if (!hasLeader) {
            // This channel leads (or leaves the gang): its followers take
            // its own settings.
            shared = {c.loop, m_eeState.load(), c.continuousRecord, c.continuousRecordFields,
                      c.continuousRecordLength};
        } else {
            c.loop = shared.loop;
            c.continuousRecord = shared.continuous;
            c.continuousRecordFields = shared.fields;
            c.continuousRecordLength = shared.text;
            status.Write8(block::kEe, shared.ee ? 1 : 0);
            status.Write8(block::kLoop, shared.loop ? 1 : 0);
            status.Write8(block::kContinuousRecord, shared.continuous ? 1 : 0);
            status.Write32(block::kContinuousRecordFields,
                           static_cast<std::uint32_t>(shared.fields));
            status.WriteWide(block::kContinuousRecordText, block::kContinuousRecordChars,
                             shared.text);
        }
        loopChanged = c.loop != oldLoop;
        eeChanged = hasLeader && shared.ee != m_eeState.load();
        c.gangIndex = gangIndex;
        c.gangOrder = order;
        status.Write32(block::kGangIndex, static_cast<std::uint32_t>(gangIndex));
        status.Write32(block::kGangOrder, static_cast<std::uint32_t>(order));
    }
    // Outside the status-file mutex: these talk to the RTS.
    ShareContextSettings();
    if (eeChanged) {
        CheckHr(trace, SetEtoE(shared.ee ? TRUE : FALSE));
    }
    if (loopChanged) {
        for (const auto& context : m_contexts) {
            // A context without a timeline has nothing to purge (S_FALSE).
            if (const HRESULT hr = context->PurgeAllStates(); FAILED(hr)) {
                CheckHr(trace, hr);
            }
        }
    }
    PersistSetting(trace, ChannelPath(self, "/Ganging"), "gangIndex", CVariant(gangIndex));
    std::int32_t next = order;
    for (const std::int32_t member : members) {
        PersistSetting(trace, ChannelPath(member, "/Ganging"), "gangOrder", CVariant(next));
        // A follower takes the gang's shared settings into its own
        // configuration; the leader keeps its own.
        const bool follower = member == self ? order > 0 : order == 0;
        if (gangIndex >= 0 && follower) {
            const std::string element = ChannelPath(member);
            PersistSetting(trace, element, "loop", CVariant(shared.loop));
            if (m_channelType != "Player") {
                PersistSetting(trace, element, "continuousRecord", CVariant(shared.continuous));
            }
            if (!shared.text.empty()) {
                PersistSetting(trace, element, "continuousRecordLength", CVariant(shared.text));
            }
            PersistSetting(trace, ChannelPath(member, "/Monitor"), "ee", CVariant(shared.ee));
        }
        next = next < 0 ? next : next + 1;
    }
    AnnounceSetting(trace, tick, {kGang}, nullptr);
}
