// CTimeline, the object a movie builder hands out for a timeline: one COM
// object with ITimeline (context status hand-back), ITimelineControl,
// ITimelineNames and IMovie. Its movie is shared with the process's other
// timelines of the same stored movie (CMovie); its context hand-back and
// channel capabilities are its own. Only CMovieBuilder creates timelines.
//
// Thread safety: every method may be called from any thread at once. The
// movie and the hand-back guard themselves; m_cs guards the capabilities.
// The last release may come from inside a broker's callback on the
// hand-back thread (see CContextHandBack).
#pragma once

#include <memory>

#include "platform/com/ComObjectBase.h"
#include "platform/com/ISupportErrorInfo.h"
#include "platform/com/ModuleLock.h"
#include "platform/kernel/CriticalSection.h"
#include "server/timeline/ContextHandBack.h"
#include "server/timeline/IMovie.h"
#include "server/timeline/ITimeline.h"
#include "server/timeline/ITimelineControl.h"
#include "server/timeline/ITimelineNames.h"
#include "server/timeline/Movie.h"

class CTimeline : public CComObjectBase<ITimeline, ITimelineControl, ITimelineNames, IMovie,
                                        ISupportErrorInfo> {
public:
    // The smallest status record a context reports, and the largest taken.
    static constexpr int kMinRecordSize = 40;
    static constexpr int kMaxRecordSize = 65536;

    explicit CTimeline(std::shared_ptr<CMovie> movie);

    // Whether QueryInterface answers iid (checked before a movie is made).
    static bool Offers(const IID& iid);

    // ITimeline
    HRESULT RegisterContext(unsigned int token, ITmsContextBroker* broker) override;
    HRESULT ContextStatus(unsigned int token, int size, unsigned char* record) override;
    HRESULT RevokeContext(unsigned int token) override;

    // ITimelineControl
    HRESULT Extend(int start, int end, int length, long reserved) override;
    HRESULT GetChannelCapabilities(unsigned int* capabilities1,
                                   unsigned int* capabilities2) override;
    HRESULT SetChannelCapabilities(unsigned int capabilities1, unsigned int capabilities2) override;

    // ITimelineNames
    HRESULT GetNames(BSTR* dataset, BSTR* group, BSTR* movie) override;

    // IMovie (TimelineMovie.cpp)
    HRESULT GetProperty(BSTR name, VARIANT* value) override;
    HRESULT GetProperties(BSTR names, VARIANT* values) override;
    HRESULT SetProperty(BSTR name, VARIANT value) override;
    HRESULT SetConstruction(long flags, long gangFlags, BOOL on) override;
    HRESULT SetVideoFormat(BSTR formatName) override;
    HRESULT SetEndTimecode(long packedTimecode) override;
    HRESULT SetMarks(long markIn, long markOut, long mode, BOOL final) override;
    HRESULT GetTrackCount(long trackType, long* count) override;
    HRESULT AppendSegment(long trackType, long trackNum, long reserved, long length, long fileType,
                          BSTR name, unsigned short* segmentCode) override;
    HRESULT RemoveSegment(long trackType, long trackNum, unsigned short segmentCode) override;
    HRESULT TrimSegment(long trackType, long trackNum, unsigned short segmentCode,
                        long duration) override;
    HRESULT GetLastSegment(long trackType, long trackNum, long reserved, long fromEnd,
                           unsigned short* segmentCode) override;
    HRESULT GetSegmentAtPosition(long trackType, long trackNum, long position,
                                 unsigned short* segmentCode) override;
    HRESULT GetSegmentDescription(long trackType, long trackNum, unsigned short segmentCode,
                                  long* fileType, BSTR* complexMediaName, long* markIn,
                                  long* markOut, long* duration) override;
    HRESULT GetSegmentPositions(long trackType, long trackNum, unsigned short segmentCode,
                                long* start, long* naturalDuration, long* duration,
                                unsigned short* flags, unsigned long* userData) override;
    HRESULT GetSegmentNames(long trackType, long trackNum, unsigned short segmentCode,
                            BSTR* segmentUuid, BSTR* editUuid, BSTR* segmentName) override;
    HRESULT GetSegmentMediaData(long trackType, long trackNum, unsigned short segmentCode,
                                long mode, long size, unsigned char* block) override;
    HRESULT SetSegmentMediaData(long trackType, long trackNum, unsigned short segmentCode,
                                long mode, long size, const unsigned char* block) override;
    HRESULT UpdateSegment(long trackType, long trackNum, unsigned short segmentCode, long mediaIn,
                          long mediaOut, long mode) override;
    HRESULT SetTrackLabel(long trackType, long trackNum, BSTR label) override;
    HRESULT GetTrackByLabel(long trackType, long reserved, BSTR label, long occurrence,
                            long* trackNum) override;
    HRESULT AddEdit(long start, long duration, BSTR name, BOOL repeat, long pauseMode,
                    BSTR* editUuid) override;
    HRESULT AddSection(long start, long duration, BSTR name, BSTR* sectionUuid) override;
    HRESULT GetSectionAndEdit(long channel, long position, BOOL* changed, BSTR* sectionUuid,
                              BSTR* editUuid) override;
    HRESULT GetSectionProperties(BSTR sectionUuid, BSTR names, VARIANT* values) override;
    HRESULT GetEditProperties(BSTR editUuid, BSTR names, VARIANT* values) override;
    HRESULT GetEditAtPosition(long position, BSTR* editUuid) override;
    HRESULT GetNextPause(long position, long horizon, long* pausePosition,
                         long* pauseMode) override;

    // ISupportErrorInfo
    HRESULT InterfaceSupportsErrorInfo(const IID& iid) override;

private:
    CModuleLock m_moduleLock;
    const std::shared_ptr<CMovie> m_movie;  // constant
    CContextHandBack m_handBack;            // guards itself
    CCriticalSection m_cs;
    unsigned int m_capabilities1 GUARDED_BY(m_cs) = 0;
    unsigned int m_capabilities2 GUARDED_BY(m_cs) = 0;
};
