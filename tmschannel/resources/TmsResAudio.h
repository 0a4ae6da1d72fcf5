// CTmsResAudio: one audio path of the channel. Its configuration names an
// input and an output component; from them it takes the gains, the recorded
// sample format and the tags by which a played movie's audio tracks are
// matched to its output. It keeps the live audio status (level and the
// gains the RTS runs with) that PutStatus copies from RTS shared memory.
//
// Locks: the resource lock (m_cs) guards the configured values; the base's
// status lock guards the status copy and is taken inside m_cs. The status
// pass thread runs PutStatus and PublishStatus; COM threads run the
// property and status queries; contexts run the state and record calls.
#pragma once

#include "tmschannel/resources/TmsResource.h"

#include <string>

class CTmsResAudio : public CTmsResource {
public:
    // The status block has regions for audio resources 0 to 15.
    static constexpr std::int32_t kPublishedResources = 16;

    // Raw 16-bit gain to dB: 4096 is unity (0 dB); 0 is silence (-40 dB).
    static float GainToDb(std::uint16_t raw);
    // dB to the raw gain, truncated. False when the value is not finite or
    // its raw gain does not fit 16 bits (above about +24.08 dB).
    static bool DbToGain(float db, std::uint16_t* raw);
    // Raw 16-bit level to dBFS-like meter value: 32767 reads +24 dB, 0 -40 dB.
    static float LevelToDb(std::uint16_t raw);
    // The gain word of a played state: 4096 x the segment's gain factor,
    // truncated, in 0 to 0x7FFF.
    static std::uint16_t StateGain(double factor);

    explicit CTmsResAudio(std::int32_t resourceNumber);
    ~CTmsResAudio() override;

    std::int32_t GetFieldGranularity() override { return 10; }
    void GetLabel(std::string* label) override;
    BYTE* GetMediaData(BYTE* block) override;
    // The movie track carrying this output's tags at its occurrence; else
    // (or recording) the context's mapped audio offset plus the number;
    // 0x7FFFFFFF (silence) when tags match nothing and play silence is set.
    std::int32_t GetMappedTrackNum(const ITrackMapping* context, IMovie* movie,
                                   bool record) override;
    HRESULT HandlePortStateChange(IMovie* movie, std::uint16_t cycle, std::int32_t moviePosition,
                                  TmsPortState oldState, TmsPortState newState) override;
    HRESULT PublishStatus(CChanAccess& access) override;
    HRESULT PutStatus(std::uint16_t cycle, const CRtsShmem& shmem,
                      std::int32_t channelIndex) override;
    // One 48-byte "aud " chunk per state.
    HRESULT AddBlackState(IMovie* movie, std::int32_t moviePosition, std::int32_t portPosition,
                          rts::CStateMessageBuilder& message, std::int32_t pastLastSegment,
                          std::int32_t toWindowEnd) override;
    HRESULT AddState(IMovie* movie, std::int32_t moviePosition, std::int32_t portPosition,
                     bool record, bool boundedRecord, const MediaSegmentInfo& segment,
                     rts::CStateMessageBuilder& message) override;
    HRESULT GetProperty(const std::string& name, VARIANT* value) override;
    std::int32_t GetBytesPerSecond() override;
    HRESULT InitFromConfig(IXMLDOMDocument2* document, IXMLDOMNode* element) override;
    // Counts again how many outputs before this one carry the same tags.
    HRESULT RefreshProperties(IXMLDOMDocument2* document) override;
    HRESULT SetProperty(IConfigMgr* configMgr, const std::string& name, const VARIANT& value,
                        bool persist, bool* refresh) override;
    std::int32_t GetMediaFileType(std::int32_t fileType) override;
    // The gains.
    bool PropertyReachesRts(const std::string& name) const override;

    // For the status pass, channel properties and tests.
    TmsAudioStatus AudioStatus() const;
    float Level() const;
    float InputGainDb() const;
    float OutputGainDb() const;
    std::int32_t TagOccurrence() const;
    std::string AudioFormat() const;

protected:
    HRESULT StringToVariant(std::int32_t token, VARIANT* value) override;

private:
    std::string InputElementPath() const REQUIRES(m_cs);
    std::string OutputElementPath() const REQUIRES(m_cs);
    void RefreshTags(CEntryPoint& trace, IXMLDOMDocument2* document) REQUIRES(m_cs);
    // False for a component the configuration does not name.
    static bool HasComponent(const std::string& id) { return !id.empty() && id != "Unknown"; }

    float m_inputGainDb GUARDED_BY(m_cs) = 0.0f;
    std::uint16_t m_inputGainRaw GUARDED_BY(m_cs) = 0;
    float m_outputGainDb GUARDED_BY(m_cs) = 0.0f;
    std::uint16_t m_outputGainRaw GUARDED_BY(m_cs) = 0;
    std::string m_inputId GUARDED_BY(m_cs) = "Unknown";
    std::string m_outputId GUARDED_BY(m_cs) = "Unknown";
    std::string m_audioFormat GUARDED_BY(m_cs) = "16bit";
    std::int32_t m_bitsPerSample GUARDED_BY(m_cs) = 16;
    std::string m_inputTag GUARDED_BY(m_cs);
    std::string m_primaryTag GUARDED_BY(m_cs);
    std::string m_secondaryTag GUARDED_BY(m_cs);
    std::int32_t m_tagOccurrence GUARDED_BY(m_cs) = -1;
    bool m_playSilence GUARDED_BY(m_cs) = false;

    TmsAudioStatus m_audioStatus GUARDED_BY(m_statusCs){};
    float m_level GUARDED_BY(m_statusCs) = -40.0f;
    float m_reportedGains[2] GUARDED_BY(m_statusCs) = {-40.0f, -40.0f};
};
