#include "server/timeline/Timeline.h"

#include <atomic>
#include <cstdio>

#include "platform/kernel/CriticalSectionLock.h"
#include "server/timeline/TimelineArgs.h"
#include "server/timeline/TimelineCall.h"

namespace {

constexpr char kSource[] = "Timeline";
constexpr char kFile[] = "Timeline.cpp";

std::string NextThreadName() {
    static std::atomic<unsigned> count{0};
    return "tms-timeline-" + std::to_string(++count);
}

std::string Hex(unsigned int value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

}  // namespace

CTimeline::CTimeline(std::shared_ptr<CMovie> movie)
    : m_movie(std::move(movie)),
      m_handBack(NextThreadName(), "Movie '" + m_movie->Name().Text() + "'") {}

bool CTimeline::Offers(const IID& iid) {
    return iid == IID_IUnknown || iid == IID_ITimeline || iid == IID_ITimelineControl ||
           iid == IID_ITimelineNames || iid == IID_IMovie || iid == IID_ISupportErrorInfo;
}

HRESULT CTimeline::InterfaceSupportsErrorInfo(const IID& iid) {
    return iid == IID_ITimeline || iid == IID_ITimelineControl || iid == IID_ITimelineNames ||
                   iid == IID_IMovie
               ? S_OK
               : S_FALSE;
}

HRESULT CTimeline::RegisterContext(unsigned int token, ITmsContextBroker* broker) {
    return TimelineCall(IID_ITimeline, kSource, kFile, [&] {
        if (token == 0 || broker == nullptr) {
            throw CMovieError(E_INVALIDARG,
                              "RegisterContext needs a context token other than 0 "
                              "and a broker (token " +
                                  Hex(token) + ", broker " + (broker ? "given" : "null") + ")");
        }
        m_handBack.Register(token, broker);
        return S_OK;
    });
}

HRESULT CTimeline::ContextStatus(unsigned int token, int size, unsigned char* record) {
    return TimelineCall(IID_ITimeline, kSource, kFile, [&] {
        if (record == nullptr) {
            throw CMovieError(E_POINTER,
                              "ContextStatus for context " + Hex(token) + " was given no record");
        }
        if (size < kMinRecordSize || size > kMaxRecordSize) {
            throw CMovieError(E_INVALIDARG, "ContextStatus for context " + Hex(token) +
                                                ": a record of " + std::to_string(size) +
                                                " bytes is not " + std::to_string(kMinRecordSize) +
                                                " to " + std::to_string(kMaxRecordSize) + " bytes");
        }
        return m_handBack.Queue(token, record, static_cast<std::size_t>(size)) ? S_OK : S_FALSE;
    });
}

HRESULT CTimeline::RevokeContext(unsigned int token) {
    return TimelineCall(IID_ITimeline, kSource, kFile,
                        [&] { return m_handBack.Revoke(token) ? S_OK : S_FALSE; });
}

HRESULT CTimeline::Extend(int start, int end, int length, long reserved) {
    return TimelineCall(IID_ITimelineControl, kSource, kFile, [&] {
        CheckReserved(reserved, "Extend");
        if (end < start || std::int64_t{end} - start != length) {
            throw CMovieError(E_INVALIDARG, "Extend(" + std::to_string(start) + ", " +
                                                std::to_string(end) + ", " +
                                                std::to_string(length) +
                                                "): the length must be end - start, end not "
                                                "below start");
        }
        m_movie->Extend(start, end);
        return S_OK;
    });
}

HRESULT CTimeline::GetChannelCapabilities(unsigned int* capabilities1,
                                          unsigned int* capabilities2) {
    return TimelineCall(IID_ITimelineControl, kSource, kFile, [&] {
        unsigned int& c1 = OutArg(capabilities1, "first capability mask");
        unsigned int& c2 = OutArg(capabilities2, "second capability mask");
        CCriticalSectionLock lock(m_cs);
        c1 = m_capabilities1;
        c2 = m_capabilities2;
        return S_OK;
    });
}

HRESULT CTimeline::SetChannelCapabilities(unsigned int capabilities1, unsigned int capabilities2) {
    CCriticalSectionLock lock(m_cs);
    m_capabilities1 = capabilities1;
    m_capabilities2 = capabilities2;
    return S_OK;
}

HRESULT CTimeline::GetNames(BSTR* dataset, BSTR* group, BSTR* movie) {
    return TimelineCall(IID_ITimelineNames, kSource, kFile, [&] {
        BSTR& d = OutArg(dataset, "dataset name");
        BSTR& g = OutArg(group, "group name");
        BSTR& m = OutArg(movie, "movie name");
        const CMovieName& name = m_movie->Name();
        CNewBstr datasetText = NewBstr(name.Dataset());
        CNewBstr groupText = NewBstr(name.Group());
        CNewBstr movieText = NewBstr(name.Movie());
        d = datasetText.release();
        g = groupText.release();
        m = movieText.release();
        return S_OK;
    });
}
