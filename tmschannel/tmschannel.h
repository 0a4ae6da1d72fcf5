// TmsChannel: the one header a client includes. A TmsChannel object controls
// one channel of the video server; create it with CoCreateInstance
// (CLSID_TmsChannel, or the ProgID "Vandrel.TmsChannel"), Open it on a
// channel, allocate contexts for timelines and send them context changes.
//
// The object is free-threaded: every method may be called from any thread,
// also at the same time. Every method returns an HRESULT; a failure leaves
// error info (GetErrorInfo) with the message that was logged, and the error
// log holds the whole chain.
#pragma once

#include "platform/com/Bstr.h"
#include "platform/com/IUnknown.h"
#include "platform/com/Variant.h"
#include "server/ipmclient/RtsStatusTypes.h"    // TmsPortState, TmsStopMode
#include "server/timeline/ITmsContextBroker.h"  // ITmsContextBroker, TmsPortContextCondition

struct ITmsChannel : IUnknown {
    static constexpr IID kIid = MakeGuid("{18981AE0-1606-4935-A3DD-D3AD5497686F}");

    virtual HRESULT AllocateContext(unsigned short nTimelineCode, unsigned int* pnContextToken) = 0;
    virtual HRESULT Close() = 0;
    virtual HRESULT CloseTimeline(unsigned short nTimelineCode) = 0;
    virtual HRESULT CreateTimeline(BSTR bstrDataset, BSTR bstrGroup, BSTR bstrMovie,
                                   long bPopulateTracks, int iLength,
                                   unsigned short* pnTimelineCode, GUID* riid,
                                   void** ppvTimeline) = 0;
    virtual HRESULT ExtendTimeline(IUnknown* pTimelineUnk, int iStartPos, int iLength) = 0;
    virtual HRESULT FreeContext(unsigned int nContextToken) = 0;
    virtual HRESULT GetChannelProperty(BSTR bstrPropertyQuery, VARIANT* pvarProperty) = 0;
    virtual HRESULT GetEtoE(BOOL* pEtoE) = 0;
    virtual HRESULT GetMovieBuilder(GUID* riid, void** ppvMovieBuilder) = 0;
    virtual HRESULT GetResourceProperty(BSTR bstrResType, int iResNum, BSTR bstrPropertyQuery,
                                        VARIANT* pvarProperty) = 0;
    virtual HRESULT GetResourceStatus(BSTR bstrResType, int iResNum, BSTR bstrStatusQuery,
                                      VARIANT* pvarStatus) = 0;
    virtual HRESULT GetResourceStatusRange(BSTR bstrResType, int iResNum, BSTR bstrStatus,
                                           unsigned int* pStartTick, unsigned int* pEndTick,
                                           VARIANT* pvarStatus) = 0;
    virtual HRESULT GetStatus(unsigned int nContextToken, BSTR bstrStatusQuery,
                              VARIANT* pvarStatus) = 0;
    virtual HRESULT GetStatusRange(unsigned int nContextToken, BSTR bstrStatus,
                                   unsigned int* pStartTick, unsigned int* pEndTick,
                                   VARIANT* pvarStatus) = 0;
    virtual HRESULT GetStorage(BSTR bstrVolume, long* pTotalStorage, long* pRemainingStorage,
                               long* pRemainingFields) = 0;
    // varChan: the channel's name (VT_BSTR) or its number (anything else).
    virtual HRESULT Open(VARIANT varChan, BSTR bstrSuite, BSTR bstrUser, BSTR bstrApp,
                         BSTR bstrAppServerUuid) = 0;
    virtual HRESULT OpenTimeline(BSTR bstrDataset, BSTR bstrGroup, BSTR bstrMovie,
                                 unsigned short* pnTimelineCode, GUID* riid,
                                 void** ppvTimeline) = 0;
    virtual HRESULT RefreshConfig(BSTR bstrChangeHint) = 0;
    virtual HRESULT SetChannelProperty(BSTR bstrProperty, VARIANT varProperty) = 0;
    virtual HRESULT SetEtoE(BOOL bEtoE) = 0;
    virtual HRESULT SetResourceProperty(BSTR bstrResType, int iResNum, BSTR bstrProperty,
                                        VARIANT varProperty) = 0;
    virtual HRESULT WaitForPortState(unsigned int nContextToken, TmsPortState portState,
                                     int iTimeout) = 0;
    virtual HRESULT SetResourcePropertyEx(BSTR bstrResType, int iResNum, BSTR bstrProperty,
                                          VARIANT varProperty, BOOL bPersist) = 0;

protected:
    ~ITmsChannel() override = default;
};

inline constexpr CLSID CLSID_TmsChannel = MakeGuid("{96C46B5D-0362-4659-89FF-FE9ED68223EA}");
inline constexpr IID IID_ITmsChannel = ITmsChannel::kIid;
inline constexpr GUID LIBID_TmsChannelLib = MakeGuid("{05049869-1713-485D-AB57-9214AD513E04}");
inline constexpr const char kTmsChannelProgId[] = "Vandrel.TmsChannel.1";
inline constexpr const char kTmsChannelVersionIndependentProgId[] = "Vandrel.TmsChannel";
inline constexpr const char kTmsChannelClassName[] = "TmsChannel Class";
