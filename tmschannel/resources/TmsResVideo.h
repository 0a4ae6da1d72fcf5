// CTmsResVideo: the channel's video path. Its configuration names the input,
// codec and output components; from them it takes the compression and
// picture parameters used to create record files and describe recorded
// segments. It keeps the live video status that PutStatus copies from RTS
// shared memory and the AFD that arrives with recorded video.
//
// Locks: the resource lock (m_cs) guards the configured values and the AFD;
// the base's status lock guards the status copy and is taken inside m_cs,
// never around it.
#pragma once

#include "platform/com/Variant.h"
#include "tmschannel/resources/TmsResource.h"

#include <string>

class CTmsResVideo : public CTmsResource {
public:
    explicit CTmsResVideo(std::int32_t resourceNumber);
    ~CTmsResVideo() override;

    std::int32_t GetFieldGranularity() override;
    BYTE* GetMediaData(BYTE* block) override;
    // The context's mapped video offset plus the resource number.
    std::int32_t GetMappedTrackNum(const ITrackMapping* context, IMovie* movie,
                                   bool record) override;
    HRESULT PublishStatus(CChanAccess& access) override;
    HRESULT PutStatus(std::uint16_t cycle, const CRtsShmem& shmem,
                      std::int32_t channelIndex) override;
    HRESULT GetProperty(const std::string& name, VARIANT* value) override;
    std::int32_t GetBytesPerSecond() override;
    HRESULT InitFromConfig(IXMLDOMDocument2* document, IXMLDOMNode* element) override;
    HRESULT SetProperty(IConfigMgr* configMgr, const std::string& name, const VARIANT& value,
                        bool persist, bool* refresh) override;
    std::int32_t GetMediaFileType(std::int32_t fileType) override;
    // One 32-byte "vid " chunk per state: the segment's media position and
    // fields left, or black up to the window end.
    HRESULT AddState(IMovie* movie, std::int32_t moviePosition, std::int32_t portPosition,
                     bool record, bool boundedRecord, const MediaSegmentInfo& segment,
                     rts::CStateMessageBuilder& message) override;
    HRESULT AddBlackState(IMovie* movie, std::int32_t moviePosition, std::int32_t portPosition,
                          rts::CStateMessageBuilder& message, std::int32_t pastLastSegment,
                          std::int32_t toWindowEnd) override;
    // A record starting writes the media data to its segment; one ending
    // writes the AFD that arrived with it.
    HRESULT HandlePortStateChange(IMovie* movie, std::uint16_t cycle, std::int32_t moviePosition,
                                  TmsPortState oldState, TmsPortState newState) override;
    // Writes a new AFD into the media data of the segment it arrived in.
    HRESULT HandleRecordUpdate(IMovie* movie, std::int32_t recordOrigin) override;
    // The AFD code and widescreen flag of the configured default AFD text.
    virtual void GetDefaultAfd(std::uint8_t* code, bool* widescreen);

    // For tests and the status pass: the copy PutStatus took last.
    TmsVideoStatus VideoStatus() const;
    std::int32_t InputFormat() const;

protected:
    HRESULT StringToVariant(std::int32_t token, VARIANT* value) override;

private:
    bool IsMpegFamily() const REQUIRES(m_cs);
    // "//VideoCodec[@id=//Channel[@channelIndex="%d"]/Video[@index="%s"]/VideoCodecComponent/@id]"
    std::string CodecElementPath() const REQUIRES(m_cs);
    void GetDefaultAfdLocked(std::uint8_t* code, bool* widescreen) REQUIRES(m_cs);
    static const char* PixCodingName(std::uint32_t coding);
    // Four digits 0 or 1, then w or W or nothing; or empty.
    static bool IsDefaultAfdText(const std::string& text);

    std::string m_inputId GUARDED_BY(m_cs) = "Unknown";
    std::string m_codecId GUARDED_BY(m_cs) = "Unknown";
    std::string m_outputId GUARDED_BY(m_cs) = "Unknown";
    std::string m_videoSource GUARDED_BY(m_cs) = "VideoSdi";
    std::string m_compression GUARDED_BY(m_cs) = "Dv25";
    std::string m_aspectRatio GUARDED_BY(m_cs);
    float m_dataRate GUARDED_BY(m_cs) = 25.0f;
    std::string m_chroma GUARDED_BY(m_cs) = "4_2_0";
    bool m_openGop GUARDED_BY(m_cs) = false;
    std::int32_t m_pPerI GUARDED_BY(m_cs) = 0;
    std::int32_t m_bPerP GUARDED_BY(m_cs) = 0;
    std::string m_profileLevel GUARDED_BY(m_cs) = "MP@ML";
    std::string m_stillPlayMode GUARDED_BY(m_cs) = "Interlaced";
    std::int32_t m_inputFormat GUARDED_BY(m_cs) = 255;
    std::uint8_t m_afdCode GUARDED_BY(m_cs) = 0;
    std::int32_t m_afdPosition GUARDED_BY(m_cs) = -1;
    std::uint8_t m_lastWrittenAfdCode GUARDED_BY(m_cs) = 0;
    std::int32_t m_lastWrittenAfdPosition GUARDED_BY(m_cs) = -1;
    bool m_widescreen GUARDED_BY(m_cs) = false;
    TmsAncillaryDataStatus m_ancDataStatus GUARDED_BY(m_cs){};
    std::string m_defaultAfd GUARDED_BY(m_cs);
    TmsVideoStatus m_videoStatus GUARDED_BY(m_statusCs){};
};
