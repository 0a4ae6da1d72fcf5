#include "tools/tmsctl/StatusJson.h"

#include <cmath>

#include "tools/tmsctl/ChannelStatusFields.h"
#include "tools/tmsctl/OutputsText.h"

namespace tmsctl {

using nlohmann::json;

namespace {

// JSON has no NaN or infinity: a writer's odd float reads as null.
json FloatJson(float value) {
    return std::isfinite(value) ? json(value) : json(nullptr);
}

json RingJson(const RingHead& ring) {
    json j = {{"cycle", ring.cycle}, {"slot", ring.slot}, {"indexValid", ring.indexValid}};
    if (!ring.indexValid) {
        j["index"] = ring.rawIndex;
    }
    return j;
}

json OptionalRingJson(const std::optional<RingHead>& ring) {
    return ring ? RingJson(*ring) : json(nullptr);
}

json ContextJson(const std::optional<ContextStatus>& context) {
    if (!context) {
        return nullptr;
    }
    const ContextStatus& c = *context;
    const char* name = PortStateName(c.portState);
    json limits = json::array();
    for (const std::string& text : c.limits) {
        limits.push_back(text.empty() ? json(nullptr) : json(text));
    }
    return {{"ring", RingJson(c.ring)},
            {"portState", name != nullptr ? json(name) : json(nullptr)},
            {"portStateCode", c.portState},
            {"position", c.position},
            {"timecode", c.timecode},
            {"speed", FloatJson(c.speed)},
            {"movie", c.movie},
            {"uri", c.uri},
            {"markIn", {{"position", c.markIn.position}, {"text", c.markIn.text}}},
            {"markOut", {{"position", c.markOut.position}, {"text", c.markOut.text}}},
            {"limits", limits}};
}

json StorageJson(const std::vector<StorageStatus>& storage) {
    json entries = json::array();
    for (const StorageStatus& e : storage) {
        entries.push_back({{"index", e.index},
                           {"volume", e.volume},
                           {"totalBytes", e.totalBytes},
                           {"freeBytes", e.freeBytes},
                           {"remainingFields", e.remainingFields},
                           {"remainingText", e.remainingText},
                           {"state", StorageStateName(e.state)}});
    }
    return entries;
}

json GpiBitsJson(std::uint32_t bits) {
    json on = json::array();
    for (int n = 0; n < 32; ++n) {
        if ((bits >> n) & 1u) {
            on.push_back(n);
        }
    }
    return {{"bits", bits}, {"on", on}};
}

json AudioJson(const std::vector<AudioStatus>& audio) {
    json entries = json::array();
    for (const AudioStatus& a : audio) {
        if (!a.ring) {
            entries.push_back({{"index", a.index}, {"ring", nullptr}});
            continue;
        }
        entries.push_back({{"index", a.index},
                           {"ring", RingJson(*a.ring)},
                           {"levelDb", FloatJson(a.levelDb)},
                           {"inputGainDb", FloatJson(a.inputGainDb)},
                           {"outputGainDb", FloatJson(a.outputGainDb)}});
    }
    return entries;
}

json TimecodeJson(const std::optional<TimecodeStatus>& timecode) {
    if (!timecode) {
        return nullptr;
    }
    const TimecodeStatus& t = *timecode;
    return {{"ring", RingJson(t.ring)}, {"timecode", t.timecode},        {"word", t.word},
            {"timeOfDay", t.timeOfDay}, {"mode", TimerModeName(t.mode)}, {"modeCode", t.mode}};
}

}  // namespace

json ChannelJson(const ChannelSnapshot& channel, const std::optional<RtsOutputs>& rts,
                 unsigned mutexTimeoutMs, const PublisherProbe& probe) {
    json j = {{"channel", channel.channel}};
    if (!channel.snapshot) {
        j["published"] = false;
        j["text"] = NothingPublishedText(channel.channel);
        return j;
    }
    const ChannelStatus s = ReadChannelStatus(channel.snapshot->block, probe);
    j["published"] = !s.blank;
    j["consistent"] = channel.snapshot->consistent;
    j["text"] = ChannelStatusText(channel.channel, *channel.snapshot, mutexTimeoutMs, probe);
    if (s.blank) {
        return j;
    }
    // What the RTS holds for the outputs, as tmsctl watch shows it.
    j["text"] = j["text"].get<std::string>() + GpiAndAncDataText(rts, channel.snapshot->block);
    if (rts) {
        j["gpiOutputs"] = GpiBitsJson(rts->gpiOutputMask);
    }
    j["id"] = s.id;
    j["type"] = s.type;
    j["format"] = {
        {"name", s.formatName}, {"number", s.format}, {"fieldsPerFrame", s.fieldsPerFrame}};
    j["publisher"] = {{"state", PublisherStateName(s.publisher.state)}, {"pid", s.publisher.pid}};
    if (s.publisher.state == PublisherState::kLive || s.publisher.state == PublisherState::kStale) {
        j["publisher"]["ageMs"] = s.publisher.ageMs;
    }
    j["channelRing"] = OptionalRingJson(s.channelRing);
    j["offline"] = s.offline;
    j["serverOffline"] = s.serverOffline;
    j["gpiInputs"] = GpiBitsJson(s.gpiInputs);
    j["storage"] = StorageJson(s.storage);
    j["context"] = ContextJson(s.context);
    json contexts = json::array();
    for (const AllocatedContext& a : s.contexts) {
        contexts.push_back({{"index", a.index}, {"uri", a.uri}});
    }
    j["contexts"] = contexts;
    j["video"] = s.video ? json{{"ring", RingJson(s.video->ring)},
                                {"fieldSize", s.video->fieldSize},
                                {"pixelCoding", s.video->pixelCoding}}
                         : json(nullptr);
    j["audio"] = AudioJson(s.audio);
    j["timecode"] = TimecodeJson(s.timecode);
    return j;
}

std::optional<RtsOutputs> OutputsOf(const ChannelSnapshot& channel, const CRtsOutputsReader& rts) {
    if (!channel.snapshot || channel.snapshot->block.IsBlank()) {
        return std::nullopt;
    }
    return rts.Read(channel.channel);
}

json ChannelsJson(const std::vector<ChannelSnapshot>& channels, const CRtsOutputsReader& rts,
                  unsigned mutexTimeoutMs, const PublisherProbe& probe) {
    json list = json::array();
    for (const ChannelSnapshot& c : channels) {
        list.push_back(ChannelJson(c, OutputsOf(c, rts), mutexTimeoutMs, probe));
    }
    return {{"channels", list}};
}

}  // namespace tmsctl
