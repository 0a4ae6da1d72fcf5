// CTmsResGpi: the channel's GPI outputs, contact closures that fire at
// chosen points of what the channel plays. Each configured output has a
// control index (its bit in the output mask), a controller and a trigger:
// channel triggers fire at the start or end of the timeline window, or of
// each edit of a list timeline, optionally moved by an offset; application
// triggers fire where the timeline attaches the output's trigger name to an
// edit or a section. With every state message the resource writes one
// 8-byte "gpi " state (port position, mask of the outputs that fire there)
// per position where outputs fire, and nothing else: no media, no black.
//
// Locks: the resource lock (m_cs) guards the output list and the enabled
// flag; m_statusCs guards the status copy and is taken inside m_cs, never
// around it. The status thread runs PutStatus; COM threads the status and
// property calls; the contexts WriteStates, which copies what it needs
// under m_cs and asks the movie without it.
#pragma once

#include "tmschannel/resources/TmsResource.h"

#include <map>
#include <string>
#include <vector>

// One configured output, as "//GpiOutput[@id=...]" describes it.
struct GpiOutputRecord {
    std::int32_t controlIndex = 0;  // its bit: controlIndex AND 31
    std::string id;
    std::string controller;   // "trigger" or "application"; others never fire
    std::string triggerName;  // lower case; application triggers
    std::string triggerAt;    // "start", "end", "startPlus", "endMinus"
    std::string triggerOffsetText;
    std::int32_t triggerOffset = 0;  // fields; a leading '-' counts back
    // "always" (or empty) and "play": while playing. GPI outputs take no part
    // in a record, so "record" and anything else never fire.
    std::string activateWhen;
    // False when the configuration gave a value this output cannot fire by
    // (logged once when read).
    bool usable = true;

    std::uint32_t Bit() const { return 1u << (static_cast<std::uint32_t>(controlIndex) & 31u); }
};

class CTmsResGpi : public CTmsResource {
public:
    // The port positions where outputs fire, with the mask of each.
    using FiredMasks = std::map<std::int32_t, std::uint32_t>;

    explicit CTmsResGpi(std::int32_t resourceNumber);
    ~CTmsResGpi() override;

    bool IsAssignedForRecord() override { return false; }
    HRESULT PublishStatus(CChanAccess& access) override { return S_OK; }
    // Tick count and output mask; a failed read fails the pass.
    HRESULT PutStatus(std::uint16_t cycle, const CRtsShmem& shmem,
                      std::int32_t channelIndex) override;
    // "enabled" only.
    HRESULT GetProperty(const std::string& name, VARIANT* value) override;
    HRESULT InitFromConfig(IXMLDOMDocument2* document, IXMLDOMNode* element) override;
    // Element "Gpi" with at least one "GpiOutputComponent" child.
    bool IsMyXml(IXMLDOMNode* element) override;
    // "enabled" only; never persisted, never asks for a refresh.
    HRESULT SetProperty(IConfigMgr* configMgr, const std::string& name, const VARIANT& value,
                        bool persist, bool* refresh) override;
    // The "rbuf" list with its "res " chunk and one "gpi " chunk for every
    // position where outputs fire. A trigger fires in the state whose
    // stretch (up to the next state of the same run) holds it, at its own
    // port position, so that triggers between states still fire at fast
    // speeds.
    HRESULT WriteStates(const StateWriteTarget& target, std::int32_t trackNumber, bool record,
                        bool boundedRecord, const std::vector<StateEntry*>& states) override;

    // The outputs of an application trigger (case-insensitive); 0 for "".
    std::uint32_t GpiAppTriggerToMask(const std::string& triggerName) const;
    // The outputs whose channel trigger falls on position P: the window's
    // first field W1 or last frame W2, or, with an edit known, the edit's
    // first field E1 or last frame E2; moved by the offset for "startPlus"
    // and "endMinus".
    std::uint32_t GpiChanelTriggerToMask(std::int32_t position, bool editKnown,
                                         std::int32_t editStart, std::int32_t editLast,
                                         std::int32_t windowStart, std::int32_t windowLast) const;

    // For the channel's properties and the watch.
    bool Enabled() const;
    void SetEnabled(bool enabled);
    std::uint32_t OutputMask() const;
    std::uint32_t TickCount() const;
    std::uint16_t StatusCycle() const;
    std::vector<GpiOutputRecord> Outputs() const;

protected:
    HRESULT StringToVariant(std::int32_t token, VARIANT* value) override;

private:
    // An edit or a section of a list timeline, with its application trigger.
    struct Span {
        std::int32_t start = 0;
        std::int32_t duration = 0;
        std::int32_t last = 0;  // first field of its last frame
        std::int64_t triggerAt = -1;
        std::uint32_t mask = 0;
        bool Covers(std::int64_t m) const {
            return m >= start && m < std::int64_t{start} + duration;
        }
    };
    // Reads the span's start, duration and trigger from the movie's
    // "startPos+duration+gpiName+gpiPosition+gpiOffset" (with the edit's
    // section uuid first when section is given).
    static Span ReadSpan(const std::vector<CVariant>& values, std::size_t first,
                         std::int32_t fieldsPerFrame, const std::vector<GpiOutputRecord>& outputs);
    // Adds the channel triggers of the outputs in [from, to) (movie
    // positions) to *fired, each at port position + offset.
    static void ChannelTriggersIn(const std::vector<GpiOutputRecord>& outputs, std::int32_t from,
                                  std::int32_t to, std::int32_t offset, const Span* edit,
                                  std::int32_t windowStart, std::int32_t windowLast,
                                  FiredMasks* fired);
    static std::uint32_t AppTriggerMask(const std::vector<GpiOutputRecord>& outputs,
                                        const std::string& triggerName);
    void ReadOutput(CEntryPoint& trace, IXMLDOMDocument2* document, IXMLDOMNode* component,
                    GpiOutputRecord* output) REQUIRES(m_cs);

    bool m_enabled GUARDED_BY(m_cs) = true;
    std::vector<GpiOutputRecord> m_outputs GUARDED_BY(m_cs);
    mutable CCriticalSection m_statusCs;  // inside m_cs
    std::uint16_t m_cycle GUARDED_BY(m_statusCs) = 0;
    std::uint32_t m_tickCount GUARDED_BY(m_statusCs) = 0;
    std::uint32_t m_errorCode GUARDED_BY(m_statusCs) = 0;  // always 0
    std::uint32_t m_outputMask GUARDED_BY(m_statusCs) = 0;
};
