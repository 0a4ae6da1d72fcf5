// CTmsResAncData: the channel's ancillary-data path (captions, timing
// data). The data is recorded into and played from its own movie track,
// packed into RIFF blocks of a configured number of fields. It keeps the
// RTS ancillary-data status that PutStatus copies from RTS shared memory
// and writes one 20-byte "ancd" state per state run. It has no properties of
// its own: the base GetProperty and SetProperty refuse every name.
//
// Locks: the resource lock (m_cs) guards the configured values; m_statusCs
// guards the status copy and is taken inside m_cs, never around it. The
// status thread runs PutStatus and PublishStatus, COM threads the status
// queries, the contexts the state and port-state calls.
#pragma once

#include "tmschannel/resources/TmsResource.h"

#include <string>

class CTmsResAncData : public CTmsResource {
public:
    explicit CTmsResAncData(std::int32_t resourceNumber);
    ~CTmsResAncData() override;

    // 48 bytes: encode file type at 32, bytes per second at 36, fields per
    // RIFF at 40, video format at 44, the rest zero.
    BYTE* GetMediaData(BYTE* block) override;
    // A player records ancillary data whatever its "assigned" flag says.
    bool IsAssignedForRecord() override;
    // A record starting writes the media data to its segment.
    HRESULT HandlePortStateChange(IMovie* movie, std::uint16_t cycle, std::int32_t moviePosition,
                                  TmsPortState oldState, TmsPortState newState) override;
    HRESULT PublishStatus(CChanAccess& access) override;
    // A failed read is not an error: the previous status stays.
    HRESULT PutStatus(std::uint16_t cycle, const CRtsShmem& shmem,
                      std::int32_t channelIndex) override;
    HRESULT AddState(IMovie* movie, std::int32_t moviePosition, std::int32_t portPosition,
                     bool record, bool boundedRecord, const MediaSegmentInfo& segment,
                     rts::CStateMessageBuilder& message) override;
    HRESULT AddBlackState(IMovie* movie, std::int32_t moviePosition, std::int32_t portPosition,
                          rts::CStateMessageBuilder& message, std::int32_t pastLastSegment,
                          std::int32_t toWindowEnd) override;
    // 65,536 bytes a second of video, shared out over the fields of a RIFF
    // block; 0 without a block size or for a format other than 525 and 625.
    std::int32_t GetBytesPerSecond() override;
    HRESULT InitFromConfig(IXMLDOMDocument2* document, IXMLDOMNode* element) override;
    // Element "ancillaryData" or "AncData" with this resource's index.
    bool IsMyXml(IXMLDOMNode* element) override;
    std::int32_t GetMediaFileType(std::int32_t fileType) override { return kMediaFileType; }

    // The copy PutStatus took last, for the status pass and tests.
    TmsAncillaryDataStatus AncDataStatus() const;
    std::uint16_t StatusCycle() const;
    std::int32_t FieldsPerRiff() const;
    std::string ChannelType() const;

    static constexpr std::int32_t kTrackType = 9;
    static constexpr std::int32_t kEncodeFileType = 8;
    static constexpr std::int32_t kMediaFileType = 21;

protected:
    HRESULT StringToVariant(std::int32_t token, VARIANT* value) override;

private:
    std::int32_t BytesPerSecondLocked() const REQUIRES(m_cs);

    std::string m_inputId GUARDED_BY(m_cs) = "Unknown";
    std::string m_codecId GUARDED_BY(m_cs) = "Unknown";
    std::string m_outputId GUARDED_BY(m_cs) = "Unknown";
    std::int32_t m_fieldsPerRiff GUARDED_BY(m_cs) = 0;
    std::int32_t m_videoInputFormat GUARDED_BY(m_cs) = 255;
    std::string m_channelType GUARDED_BY(m_cs) = "Unknown";
    mutable CCriticalSection m_statusCs;  // inside m_cs
    std::uint16_t m_cycle GUARDED_BY(m_statusCs) = 0;
    TmsAncillaryDataStatus m_status GUARDED_BY(m_statusCs){};
    bool m_reported = false;  // reported to the file system (owner only)
};
