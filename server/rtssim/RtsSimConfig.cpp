#include "server/rtssim/RtsSimConfig.h"

#include <algorithm>
#include <cstdlib>
#include <regex>

#include "platform/xml/XmlDocument.h"
#include "platform/xml/XmlError.h"
#include "server/ipmclient/RtsShmemLayout.h"

double FieldsPerSecondOf(const std::string& formatName) {
    // "59_94Hz" is a rate with a fraction; in "525_60Hz" the 525 is the line
    // count, so a fraction is only taken after a two-digit rate.
    static const std::regex fractional(R"((?:^|\D)(\d{2})_(\d{2})Hz)");
    static const std::regex whole(R"((\d+)Hz)");
    std::smatch m;
    double hz = 0;
    bool hasFraction = false;
    if (std::regex_search(formatName, m, fractional)) {
        hz = std::atof((m[1].str() + "." + m[2].str()).c_str());
        hasFraction = true;
    } else if (std::regex_search(formatName, m, whole)) {
        hz = std::atof(m[1].str().c_str());
    } else {
        return 0;
    }
    // Television rates named 60, 30 and 24 Hz run at 1000/1001 of the name.
    // Interlaced names ("_2To1") give the field rate; progressive names the
    // frame rate, which is their field rate too (one field per frame).
    if (!hasFraction && (hz == 60 || hz == 30 || hz == 24)) {
        hz = hz * 1000.0 / 1001.0;
    }
    return hz;
}

namespace {

// The channel's video codec: compression, data rate (megabits a second) and,
// for MPEG, the GOP. A channel without a codec records nothing.
void ReadRecordSettings(const CXmlDocument& doc, const CXmlNode& channel, RtsSimChannel* ch) {
    std::string codec;
    if (!channel.ReadText("Video/VideoCodecComponent/@id", &codec)) {
        return;
    }
    const std::string at = "/Config/VideoCodec[@id='" + codec + "']";
    doc.ReadText(at + "/@compressionFormat", &ch->compression);
    double megabits = 0;
    if (ch->compression == "Mpeg" || ch->compression == "D10") {
        doc.ReadFloat(at + "/" + ch->compression + "/@dataRate", &megabits);
    } else if (ch->compression.find("Xdcam") != std::string::npos) {
        doc.ReadFloat(at + "/Xdcam/@dataRate", &megabits);
    } else if (ch->compression == "Dv50") {
        megabits = 7.2 * 8;
    } else if (ch->compression == "Dv25" || ch->compression == "Dvcam") {
        megabits = 3.6 * 8;
    }
    ch->videoBytesPerSecond = megabits > 0 ? megabits * 1000000.0 / 8.0 : 0;
    if (ch->compression == "Mpeg") {
        std::int32_t p = 0, b = 0;
        doc.ReadLong(at + "/Mpeg/@pPixPerIPix", &p);
        doc.ReadLong(at + "/Mpeg/@bPixPerPPix", &b);
        ch->pPicturesPerI = std::max(0, p);
        ch->bPicturesPerP = std::max(0, b);
    }
}

}  // namespace

void ReadRtsSimSignals(const CXmlDocument& doc, const CXmlNode& channel, RtsSimChannel* ch) {
    ch->audio.clear();
    CXmlNodeList audio = channel.SelectNodes("Audio");
    for (std::size_t i = 0; i < audio.size() && i < static_cast<std::size_t>(kRtsMaxAudio); ++i) {
        RtsSimAudio a;
        std::string id;
        std::int32_t gain = 0;
        if (audio[i].ReadText("AudioInputComponent/@id", &id) &&
            doc.ReadLong("/Config/AudioInput[@id='" + id + "']/@gain", &gain)) {
            a.inputGain = static_cast<std::uint16_t>(gain);
        }
        if (audio[i].ReadText("AudioOutputComponent/@id", &id) &&
            doc.ReadLong("/Config/AudioOutput[@id='" + id + "']/@gain", &gain)) {
            a.outputGain = static_cast<std::uint16_t>(gain);
        }
        ch->audio.push_back(a);
    }
    RtsSimTimecode tc;
    CXmlNode timecode = channel.SelectSingleNode("Timecode");
    std::string id;
    tc.present = !timecode.IsNull();
    if (tc.present && timecode.ReadText("TcCodecComponent/@id", &id)) {
        doc.ReadText("/Config/TcCodec[@id='" + id + "']/@currentTcInput", &tc.input);
    }
    if (tc.present && timecode.ReadText("TcGeneratorComponent/@id", &id)) {
        doc.ReadText("/Config/TcGenerator[@id='" + id + "']/@genMode", &tc.genMode);
        std::int32_t fixed = 0;
        if (doc.ReadLong("/Config/TcGenerator[@id='" + id + "']/@genFixedTimecode", &fixed)) {
            tc.fixedTimecode = static_cast<std::uint32_t>(fixed);
        }
    }
    ch->timecode = tc;
}

bool ReadRtsSimSignalsFromText(const std::string& xml, RtsSimChannel* ch, std::string* error) {
    try {
        CXmlDocument doc;
        doc.LoadXml(xml);
        CXmlNode channel = doc.SelectSingleNode("/Config/Channel[@channelIndex='" +
                                                std::to_string(ch->index) + "']");
        if (channel.IsNull()) {
            *error = "the configuration has no channel " + std::to_string(ch->index);
            return false;
        }
        RtsSimChannel read = *ch;
        ReadRtsSimSignals(doc, channel, &read);
        *ch = read;
        return true;
    } catch (const CXmlError& e) {
        *error = e.what();
        return false;
    }
}

bool ReadRtsSimConfig(const std::string& path, std::vector<RtsSimChannel>* channels,
                      std::string* error) {
    CXmlDocument doc;
    try {
        doc.Load(path);
    } catch (const CXmlError& e) {
        *error = path + ": " + e.what();
        return false;
    }
    channels->clear();
    // A value that is not of its type, or an id that breaks the XPath it is
    // put into, refuses the file like any other fault in it.
    try {
        CXmlNodeList list = doc.SelectNodes("/Config/Channel");
        for (std::size_t i = 0; i < list.size(); ++i) {
            const CXmlNode& node = list[i];
            RtsSimChannel ch;
            std::int32_t index = -1;
            if (!node.ReadLong("@channelIndex", &index) || index < 0 || index >= kRtsMaxChannels) {
                *error = path + ": Channel element " + std::to_string(i + 1) +
                         " has no channelIndex from 0 to " + std::to_string(kRtsMaxChannels - 1);
                return false;
            }
            for (const RtsSimChannel& other : *channels) {
                if (other.index == index) {
                    *error = path + ": channelIndex " + std::to_string(index) + " appears twice";
                    return false;
                }
            }
            ch.index = index;
            node.ReadText("@id", &ch.id);
            std::string input;
            if (node.ReadText("Video/VideoInputComponent/@id", &input)) {
                doc.ReadText("/Config/VideoInput[@id='" + input + "']/@videoInputFormat",
                             &ch.videoFormat);
            }
            if (ch.videoFormat.empty()) {
                doc.ReadText("/Config/System/SystemVideoReference/@referenceStandard",
                             &ch.videoFormat);
            }
            ch.fieldsPerSecond = FieldsPerSecondOf(ch.videoFormat);
            if (ch.fieldsPerSecond <= 0) {
                *error = path + ": channel " + ch.id + " has no usable video format ('" +
                         ch.videoFormat + "')";
                return false;
            }
            ReadRecordSettings(doc, node, &ch);
            ch.audioCount = static_cast<int>(node.SelectNodes("Audio").size());
            if (ch.audioCount > kRtsMaxAudio) {
                *error = path + ": channel " + ch.id + " has " + std::to_string(ch.audioCount) +
                         " audio resources, more than " + std::to_string(kRtsMaxAudio);
                return false;
            }
            ReadRtsSimSignals(doc, node, &ch);
            channels->push_back(ch);
        }
    } catch (const CXmlError& e) {
        channels->clear();
        *error = path + ": " + e.what();
        return false;
    }
    if (channels->empty()) {
        *error = path + ": no /Config/Channel element";
        return false;
    }
    return true;
}
