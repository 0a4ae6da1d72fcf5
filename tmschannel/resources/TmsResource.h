// CTmsResource: the base of the channel's resources, one signal path each
// (video, audio, timecode, ancillary data, GPI output). A resource names
// itself by type name and number, reads its configuration, answers status
// queries (live values copied from RTS shared memory by PutStatus) and
// property queries (configured values) by name, and publishes its status.
//
// Locks: m_cs (the resource lock) guards the configured values; the status
// lock m_statusCs guards the status copy that PutStatus takes and is taken
// inside m_cs, never the other way round. No resource operation takes the
// channel lock.
#pragma once

#include "platform/com/Variant.h"
#include "platform/kernel/CriticalSection.h"
#include "platform/xml/IXMLDOMDocument2.h"
#include "server/appserverutil/VfsLibWrapper.h"
#include "server/ipmclient/RtsStatusTypes.h"
#include "tmschannel/context/StateEntry.h"
#include "tmschannel/resources/MediaSegmentInfo.h"
#include "tmschannel/resources/StateWriteTarget.h"
#include "tmschannel/rts/MmioMsg.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class CChanAccess;
class CFileMap;
class ITrackMapping;
struct IMovie;
struct MediaFileInfo;
class CRtsShmem;
class CEntryPoint;
struct IConfigMgr;
struct IUnknown;

class CTmsResource {
public:
    static constexpr std::size_t kMediaDataSize = 48;
    static constexpr std::size_t kNameChars = 36;  // 35 characters and the terminator

    explicit CTmsResource(std::int32_t resourceNumber);
    virtual ~CTmsResource();
    CTmsResource(const CTmsResource&) = delete;
    CTmsResource& operator=(const CTmsResource&) = delete;

    virtual std::int32_t GetFieldGranularity() { return 1; }
    virtual void GetLabel(std::string* label) { label->clear(); }
    // The media data block as a SAFEARRAY of 48 bytes (VT_ARRAY | VT_UI1).
    virtual HRESULT GetMediaDataVariant(VARIANT* value);
    // Fills block (48 bytes, zeroed by the caller): the base writes the video
    // format at offset 44.
    virtual BYTE* GetMediaData(BYTE* block);
    // The movie track this resource plays or records for the context; the
    // base takes the resource number.
    virtual std::int32_t GetMappedTrackNum(const ITrackMapping* context, IMovie* movie,
                                           bool record) {
        return m_resourceNumber;
    }
    virtual bool IsAssignedForRecord() { return m_assigned; }
    // The movie side of a port-state change; the kinds that write to the
    // movie override it.
    virtual HRESULT HandlePortStateChange(IMovie* movie, std::uint16_t cycle,
                                          std::int32_t moviePosition, TmsPortState oldState,
                                          TmsPortState newState) {
        return S_OK;
    }
    virtual HRESULT PublishStatus(CChanAccess& access) = 0;
    virtual HRESULT PutStatus(std::uint16_t cycle, const CRtsShmem& shmem,
                              std::int32_t channelIndex) = 0;
    // The states of a stretch without media, and of a segment: the kinds
    // that play write their state chunks; the base writes nothing.
    virtual HRESULT AddBlackState(IMovie* movie, std::int32_t moviePosition,
                                  std::int32_t portPosition, rts::CStateMessageBuilder& message,
                                  std::int32_t pastLastSegment, std::int32_t toWindowEnd) {
        return S_OK;
    }
    virtual HRESULT AddState(IMovie* movie, std::int32_t moviePosition, std::int32_t portPosition,
                             bool record, bool boundedRecord, const MediaSegmentInfo& segment,
                             rts::CStateMessageBuilder& message) {
        return S_OK;
    }
    virtual HRESULT GetProperty(const std::string& name, VARIANT* value);
    virtual std::int32_t GetBytesPerSecond() { return 0; }
    virtual std::int32_t GetVideoFormat() { return m_videoFormat; }
    virtual HRESULT HandleRecordUpdate(IMovie* movie, std::int32_t recordOrigin) { return S_OK; }
    // Reads the configuration from the document and the resource's element;
    // derived classes run the base part first.
    virtual HRESULT InitFromConfig(IXMLDOMDocument2* document, IXMLDOMNode* element);
    virtual bool IsMyXml(IXMLDOMNode* element);
    virtual HRESULT RefreshProperties(IXMLDOMDocument2* document) { return S_OK; }
    // Changes a configured value through the configuration manager; *refresh
    // may be set when every resource must read the configuration again.
    virtual HRESULT SetProperty(IConfigMgr* configMgr, const std::string& name,
                                const VARIANT& value, bool persist, bool* refresh);
    // S_FALSE, value untouched, for a name the resource does not have (names
    // are matched exactly).
    virtual HRESULT StringToStatus(const std::string& name, VARIANT* value);
    // This resource's LIST "rbuf" of the state message: one run of states
    // per segment and offset, first and last state of each run written,
    // black where no segment covers a state. trackNumber 0x7FFFFFFF: no
    // track, every state black. The media files used are attached to the
    // states and entered in the context's file map.
    virtual HRESULT WriteStates(const StateWriteTarget& target, std::int32_t trackNumber,
                                bool record, bool boundedRecord,
                                const std::vector<StateEntry*>& states);
    virtual std::int32_t GetMediaFileType(std::int32_t fileType) { return 2; }
    // True for a property whose new value the RTS runs with (an audio gain):
    // the channel sends it the configuration again after the change.
    virtual bool PropertyReachesRts(const std::string& name) const { return false; }

    // Reads a "stat" message for this resource's "rsts" list; true with the
    // reader inside that list.
    bool FindResourceStatus(CMmioMsg& message, std::int32_t ignored, DWORD* size);

    // The segment (track type, number, code) of the movie, clipped to
    // [windowStart, windowEnd].
    HRESULT GetMediaSegmentInfo(IMovie* movie, std::int32_t trackType, std::int32_t trackNumber,
                                std::uint16_t segmentCode, std::int32_t windowStart,
                                std::int32_t windowEnd, MediaSegmentInfo* segment);
    // Finds or opens the segment's media file in the file map (created for a
    // record when it is not on disk yet) and gives the segment its file
    // code; *file becomes the file's record. S_FALSE for a segment without
    // media.
    HRESULT UpdateFileState(CFileMap& files, MediaFileInfo** file, MediaSegmentInfo& segment);

    const std::u16string& TypeName() const { return m_typeName; }
    std::string TypeNameUtf8() const;
    const std::u16string& IndexText() const { return m_indexText; }
    std::int32_t ResourceNumber() const { return m_resourceNumber; }
    std::int32_t TrackType() const { return m_trackType; }
    std::int32_t EncodeFileType() const { return m_encodeFileType; }
    std::int32_t ChannelIndex() const { return m_channelIndex; }
    // Under the resource lock: configuration may be read again meanwhile.
    std::uint32_t CapabilityMask1() const;
    std::uint32_t CapabilityMask2() const;
    std::int32_t FieldsPerFrame() const { return m_fieldsPerFrame; }
    // The status pass number of the last PutStatus.
    std::uint16_t StatusCycle() const;

    // Fields a state plays from movie position m on: to the segment's end,
    // or on without end for a record that its length does not bound.
    static std::int32_t FieldsLeft(std::int32_t m, bool record, bool boundedRecord,
                                   const MediaSegmentInfo& segment);

protected:
    // The status names every playing kind shares, tokens 0 to 4:
    // videoformat, videoformatstr, fieldsperframe, tickcount, errorcode.
    // S_FALSE for any other token.
    HRESULT SharedStatusToVariant(std::int32_t token, std::uint32_t tickCount,
                                  std::uint32_t errorCode, VARIANT* value) const;
    // Tells the file-system layer the resource exists (once, after its first
    // good configuration read); the destructor reports destroyedCode.
    void ReportCreated(gfsReportRes_e createdCode, gfsReportRes_e destroyedCode);
    // The configuration element of one of this resource's components:
    // "//<element>[@id=//Channel[@channelIndex="%d"]/<kind>[@index="%s"]/<component>/@id]".
    std::string ComponentElementPath(const char* element, const char* kind,
                                     const char* component) const REQUIRES(m_cs);
    // Sets (and with persist saves) one attribute through the configuration
    // manager; a closed channel has none.
    void SetConfigAttribute(CEntryPoint& trace, IConfigMgr* configMgr, const std::string& path,
                            const char* attribute, const VARIANT& value, bool persist,
                            const std::string& property);
    // A record starting: the resource's media data goes to the last segment
    // of its track, the one the record writes.
    void WriteMediaDataToLastSegment(CEntryPoint& trace, IMovie* movie);
    // The ring slot of this publication: advances the ring index at
    // indexOffset of the status block.
    static std::size_t NextRingSlot(CChanAccess& access, std::uint8_t* block,
                                    std::size_t indexOffset);

    virtual HRESULT StringToVariant(std::int32_t token, VARIANT* value) { return S_FALSE; }
    // The token of a property name; -1 when the name is not in the map.
    std::int32_t PropertyToken(const std::string& name) const;
    // The end of the track's last segment clipped to the window; 0 when the
    // track has none.
    std::int32_t TrackEnd(CEntryPoint& trace, IMovie* movie, std::int32_t trackNumber,
                          const StateWriteTarget& target);
    [[noreturn]] void RaiseNotAvailable(CEntryPoint& trace, const std::string& name);
    [[noreturn]] void RaiseCannotSet(CEntryPoint& trace, const std::string& name);

    // Set by the derived constructors.
    std::u16string m_typeName = u"Unknown";
    std::u16string m_indexText;
    std::u16string m_boardId;
    const std::int32_t m_resourceNumber;
    std::int32_t m_trackType = 0;
    std::int32_t m_encodeFileType = 0;
    std::uint32_t m_capabilities1 = 0;
    std::uint32_t m_capabilities2 = 0;
    std::int32_t m_videoFormat = 255;
    std::int32_t m_fieldsPerFrame = 0;
    std::int32_t m_channelIndex = -1;
    std::string m_channelId;
    std::unordered_map<std::string, std::int32_t> m_statusNames;    // filled by the constructor
    std::unordered_map<std::string, std::int32_t> m_propertyNames;  // filled by the constructor
    bool m_assigned = false;
    mutable CCriticalSection m_cs;        // the resource lock
    mutable CCriticalSection m_statusCs;  // the status lock, inside m_cs
    std::uint16_t m_cycle GUARDED_BY(m_statusCs) = 0;

private:
    std::int32_t m_destroyedCode = -1;  // reported by the destructor; -1 never reported
};
