// CTmsResTimecode: the channel's timecode path: a timecode codec (reader
// and writer), a generator and a clock watcher, as the configuration names
// them. It reports the live timecode and time of day from RTS shared
// memory, lets a client choose the timecode input, generator mode, fixed
// start timecode, user bits and clock-watcher input, and stamps the
// timecode captured during a record into the recorded segment.
//
// Packed timecode word (as the RTS reports it and "genFixedTimecode" keeps
// it): bits 0-5 frames, 8-13 seconds, 16-21 minutes, 24-28 hours, bit 29
// drop frame, bit 31 no valid timecode.
//
// Locks: the resource lock (m_cs) guards the configured values and the
// record timecodes; the base's status lock guards the status copy and is
// taken inside m_cs. The status pass thread runs PutStatus and
// PublishStatus; contexts run the record calls.
#pragma once

#include "tmschannel/common/Timecode.h"
#include "tmschannel/resources/TmsResource.h"

#include <string>

class CTmsResTimecode : public CTmsResource {
public:
    static constexpr std::uint32_t kNoTimecode = 0x80000000u;
    static constexpr std::uint32_t kDropFrameBit = 1u << 29;

    // The packed word of a timecode value; hours wrap at 24.
    static std::uint32_t PackTimecode(const CTimecode& timecode);
    // The text of a packed word at the rate of the video format, with the
    // word's drop-frame bit; a word without timecode reads "xx:xx:xx:xx"
    // on format 1 and "xx:xx:xx;xx" on every other.
    static std::string WordText(std::uint32_t word, std::int32_t videoFormat);
    // The word of the frame after a packed word's, counted at the rate of
    // the video format with the word's drop-frame bit: frames carry into
    // seconds and on to 24 hours. A word without timecode stays without.
    static std::uint32_t NextFrameWord(std::uint32_t word, std::int32_t videoFormat);

    explicit CTmsResTimecode(std::int32_t resourceNumber);
    ~CTmsResTimecode() override;

    BYTE* GetMediaData(BYTE* block) override;
    // A record ending on an assigned resource gives the movie its end
    // timecode; every change forgets the timecode written last.
    HRESULT HandlePortStateChange(IMovie* movie, std::uint16_t cycle, std::int32_t moviePosition,
                                  TmsPortState oldState, TmsPortState newState) override;
    HRESULT PublishStatus(CChanAccess& access) override;
    HRESULT PutStatus(std::uint16_t cycle, const CRtsShmem& shmem,
                      std::int32_t channelIndex) override;
    // One 20-byte "tc  " chunk per state.
    HRESULT AddBlackState(IMovie* movie, std::int32_t moviePosition, std::int32_t portPosition,
                          rts::CStateMessageBuilder& message, std::int32_t pastLastSegment,
                          std::int32_t toWindowEnd) override;
    HRESULT AddState(IMovie* movie, std::int32_t moviePosition, std::int32_t portPosition,
                     bool record, bool boundedRecord, const MediaSegmentInfo& segment,
                     rts::CStateMessageBuilder& message) override;
    HRESULT GetProperty(const std::string& name, VARIANT* value) override;
    std::int32_t GetBytesPerSecond() override;
    // Stamps a newly captured record timecode into the segment it was
    // captured in, and passes the end timecode to the movie.
    HRESULT HandleRecordUpdate(IMovie* movie, std::int32_t recordOrigin) override;
    HRESULT InitFromConfig(IXMLDOMDocument2* document, IXMLDOMNode* element) override;
    HRESULT SetProperty(IConfigMgr* configMgr, const std::string& name, const VARIANT& value,
                        bool persist, bool* refresh) override;
    std::int32_t GetMediaFileType(std::int32_t fileType) override;
    // Every property: the RTS runs the codec and the generator.
    bool PropertyReachesRts(const std::string& name) const override;

    // For the status pass, channel properties and tests.
    std::string CurrentTcInput() const;
    std::string GeneratorMode() const;
    std::uint32_t FixedTimecode() const;
    std::string ClockWatcherInput() const;
    std::uint32_t TimecodeWord() const;
    std::uint32_t TimeOfDayWord() const;
    std::string TimecodeText() const;
    std::string TimeOfDayText() const;
    std::uint32_t RecordTimecode() const;

protected:
    HRESULT StringToVariant(std::int32_t token, VARIANT* value) override;

private:
    std::string CodecElementPath() const REQUIRES(m_cs);
    std::string GeneratorElementPath() const REQUIRES(m_cs);
    std::string ClockWatcherElementPath() const REQUIRES(m_cs);
    void EndTimecodeToMovie(CEntryPoint& trace, IMovie* movie, std::uint32_t end);

    std::string m_currentTcInput GUARDED_BY(m_cs) = "Internal";
    std::uint32_t m_genFixedTimecode GUARDED_BY(m_cs) = 0;
    std::int32_t m_genUserBits GUARDED_BY(m_cs) = 0;
    std::string m_genMode GUARDED_BY(m_cs) = "FixedStart";
    std::string m_generatorId GUARDED_BY(m_cs) = "Unknown";
    std::string m_codecId GUARDED_BY(m_cs) = "Unknown";
    std::string m_clockWatcherId GUARDED_BY(m_cs) = "Unknown";
    std::string m_clockWatcherInput GUARDED_BY(m_cs) = "TimeOfDay";
    TmsTimecodeStatus m_previousStatus GUARDED_BY(m_cs){};
    std::uint32_t m_lastWrittenRecordTimecode GUARDED_BY(m_cs) = kNoTimecode;
    std::uint32_t m_recordTimecode GUARDED_BY(m_cs) = kNoTimecode;
    std::uint32_t m_endTimecode GUARDED_BY(m_cs) = kNoTimecode;
    std::int32_t m_recordTimecodePosition GUARDED_BY(m_cs) = 0;

    TmsTimecodeStatus m_status GUARDED_BY(m_statusCs){};
    bool m_dropFrame GUARDED_BY(m_statusCs) = false;
    std::uint32_t m_timecodeWord GUARDED_BY(m_statusCs) = kNoTimecode;
    std::string m_timecodeText GUARDED_BY(m_statusCs);
    std::uint32_t m_timeOfDayWord GUARDED_BY(m_statusCs) = kNoTimecode;
    std::string m_timeOfDayText GUARDED_BY(m_statusCs);
    std::uint32_t m_tickCount GUARDED_BY(m_statusCs) = 0;
};
