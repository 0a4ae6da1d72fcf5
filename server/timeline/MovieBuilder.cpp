#include "server/timeline/MovieBuilder.h"

#include "platform/kernel/CriticalSectionLock.h"
#include "server/timeline/MovieStore.h"
#include "server/timeline/Timeline.h"
#include "server/timeline/TimelineArgs.h"
#include "server/timeline/TimelineCall.h"
#include "server/timeline/TimelineErrors.h"

namespace {

constexpr char kSource[] = "MovieBuilder";
constexpr char kFile[] = "MovieBuilder.cpp";

CMovieName NameArgs(BSTR dataset, BSTR group, BSTR movie) {
    return CMovieName(TextArg(dataset, "dataset name"), TextArg(group, "group name"),
                      TextArg(movie, "movie name"));
}

}  // namespace

HRESULT CMovieBuilder::InterfaceSupportsErrorInfo(const IID& iid) {
    return iid == IID_IMovieBuilder ? S_OK : S_FALSE;
}

HRESULT CMovieBuilder::SetSuite(BSTR suite) {
    return TimelineCall(IID_IMovieBuilder, kSource, kFile, [&] {
        std::string text = TextArg(suite, "suite");
        CCriticalSectionLock lock(m_cs);
        m_suite = std::move(text);
        return S_OK;
    });
}

HRESULT CMovieBuilder::GetSuite(BSTR* suite) {
    return TimelineCall(IID_IMovieBuilder, kSource, kFile, [&] {
        BSTR& out = OutArg(suite, "suite");
        CCriticalSectionLock lock(m_cs);
        out = NewBstr(m_suite).release();
        return S_OK;
    });
}

HRESULT CMovieBuilder::CloseTimeline(BSTR dataset, BSTR group, BSTR movie, long reserved,
                                     unsigned short code) {
    return TimelineCall(IID_IMovieBuilder, kSource, kFile, [&] {
        CheckReserved(reserved, "CloseTimeline");
        const CMovieName name = NameArgs(dataset, group, movie);
        CCriticalSectionLock lock(m_cs);
        const CMovieName* open = m_codes.MovieOf(code);
        switch (m_codes.Close(code, name)) {
            case CTimelineCodeTable::CloseResult::kClosed:
                return S_OK;
            case CTimelineCodeTable::CloseResult::kOtherMovie:
                throw CMovieError(E_INVALIDARG, "Timeline code " + std::to_string(code) +
                                                    " is open for movie '" + open->Text() +
                                                    "', not '" + name.Text() + "'");
            case CTimelineCodeTable::CloseResult::kUnknownCode:
                break;
        }
        throw CMovieError(E_INVALIDARG, "Timeline code " + std::to_string(code) +
                                            " is not open (movie '" + name.Text() + "')");
    });
}

HRESULT CMovieBuilder::CreateTimeline(BSTR dataset, BSTR group, BSTR movie, unsigned short* code,
                                      const IID& iid, void** timeline) {
    return HandOut(dataset, group, movie, true, 0, code, iid, timeline);
}

HRESULT CMovieBuilder::OpenTimeline(BSTR dataset, BSTR group, BSTR movie, unsigned short* code,
                                    long reserved, const IID& iid, void** timeline) {
    return HandOut(dataset, group, movie, false, reserved, code, iid, timeline);
}

HRESULT CMovieBuilder::HandOut(BSTR dataset, BSTR group, BSTR movie, bool create, long reserved,
                               unsigned short* code, const IID& iid, void** timeline) {
    return TimelineCall(IID_IMovieBuilder, kSource, kFile, [&] {
        unsigned short& codeOut = OutArg(code, "timeline code");
        void*& timelineOut = OutArg(timeline, "timeline");
        codeOut = 0;
        timelineOut = nullptr;
        CheckReserved(reserved, "OpenTimeline");
        const CMovieName name = NameArgs(dataset, group, movie);
        if (!CTimeline::Offers(iid)) {
            throw CMovieError(E_NOINTERFACE,
                              "A timeline does not offer the interface " + GuidToString(iid));
        }
        CCriticalSectionLock lock(m_cs);
        const std::uint16_t taken = m_codes.Take(name);
        if (taken == 0) {
            throw CMovieError(
                TIMELINE_E_NO_FREE_CODE,
                "No free timeline code: " + std::to_string(CTimelineCodeTable::kLastCode) +
                    " timelines are open");
        }
        try {
            CMovieStore& store = CMovieStore::Instance();
            std::shared_ptr<CMovie> shared = create ? store.Create(name) : store.Open(name);
            CComPtr<CTimeline> made = MakeComObject<CTimeline>(std::move(shared));
            const HRESULT hr = made->QueryInterface(iid, &timelineOut);
            if (FAILED(hr)) {
                throw CMovieError(hr,
                                  "The timeline does not offer the interface " + GuidToString(iid));
            }
        } catch (...) {
            m_codes.Close(taken, name);
            throw;
        }
        codeOut = taken;
        return S_OK;
    });
}
