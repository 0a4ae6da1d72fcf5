#include "server/rtssim/RtsSimulator.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/kernel/CriticalSectionLock.h"
#include "platform/kernel/LocalTime.h"
#include "platform/kernel/NamedObjects.h"
#include "platform/kernel/PrivateFiles.h"
#include "platform/kernel/UniqueFd.h"
#include "server/appserverutil/StatusMemoryLayout.h"
#include "server/errorlog/ErrorLog.h"

namespace {

constexpr const char kControlPort[] = "rtssim/control";
constexpr unsigned long kPollMs = 100;  // how soon a port thread notices Stop

// Names the calling thread (cut to the system's 15 bytes), so that per-thread
// figures and `top -H` tell the simulator's threads from the channel's when
// both run in one process.
void NameThisThread(const std::string& name) {
    ::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str());
}

constexpr int kMaxRequest = 65536;

void PutU32(std::vector<unsigned char>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// Grows a plain reply to size bytes with a trailing "fill" chunk of zeros:
// still a valid reply, only longer.
void GrowReply(std::vector<unsigned char>& reply, std::size_t size) {
    if (size < reply.size() + 8)
        return;
    PutU32(reply, RtsFourCc("fill"));
    PutU32(reply, static_cast<std::uint32_t>(size - reply.size() - 4));
    reply.resize(size, 0);
    const auto riffSize = static_cast<std::uint32_t>(size - 8);
    for (int i = 0; i < 4; ++i)
        reply[4 + i] = static_cast<unsigned char>(riffSize >> (8 * i));
}

std::uint32_t PackedTimeOfDay() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    const std::uint32_t frames = t.wMilliseconds * 30u / 1000u;
    return frames | static_cast<std::uint32_t>(t.wSecond) << 8 |
           static_cast<std::uint32_t>(t.wMinute) << 16 | static_cast<std::uint32_t>(t.wHour) << 24;
}

}  // namespace

std::vector<unsigned char> BuildRtsReply(std::uint32_t status) {
    std::vector<unsigned char> out;
    out.reserve(28);
    PutU32(out, RtsFourCc("RIFF"));
    PutU32(out, 20);
    PutU32(out, RtsFourCc("repl"));
    PutU32(out, RtsFourCc("ack "));
    PutU32(out, 8);
    PutU32(out, status);
    PutU32(out, 0);
    return out;
}

CRtsSimulator::CRtsSimulator(RtsSimOptions options)
    : m_options(std::move(options)), m_clock(m_options.clock ? m_options.clock : &m_steady) {}

CRtsSimulator::~CRtsSimulator() {
    Stop();
}

void CRtsSimulator::Log(bool error, const std::string& text) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    ErrorLogWriteExW(error ? E_FAIL : S_OK, now, 0,
                     error ? ERRORLOG_LEVEL_ERROR : ERRORLOG_LEVEL_MESSAGE, "RtsSimulator.cpp", 0,
                     0, ("rtssim: " + text).c_str(), 0);
    if (m_options.verbose || error) {
        std::fprintf(stderr, "tms-rtssim: %s\n", text.c_str());
    }
}

bool CRtsSimulator::Start(std::string* error) {
    if (m_started) {
        return true;
    }
    std::vector<RtsSimChannel> configs;
    if (!ReadRtsSimConfig(m_options.configPath, &configs, error)) {
        return false;
    }
    for (const RtsSimChannel& c : configs) {
        m_channels.push_back(std::make_unique<Channel>(c));
    }
    // Ports first: a second simulator on the same runtime folder stops here,
    // before it touches the first one's shared memory.
    if (int rc = m_control.Listen(kControlPort); rc != 0) {
        *error = std::string("cannot listen on ") + kControlPort + ": " + std::strerror(rc);
        m_channels.clear();
        return false;
    }
    for (auto& ch : m_channels) {
        char port[32];
        std::snprintf(port, sizeof port, "rtp/TmsFore%02d", ch->config.index);
        if (int rc = ch->listener.Listen(port); rc != 0) {
            *error = std::string("cannot listen on ") + port + ": " + std::strerror(rc);
            m_channels.clear();
            m_control.Close();
            return false;
        }
    }
    int highest = 0;
    for (auto& ch : m_channels)
        highest = std::max(highest, ch->config.index + 1);
    if (DWORD rc = m_shmem.Create(highest); rc != 0) {
        *error = "cannot create the RTS shared memory (error " + std::to_string(rc) + ")";
        m_channels.clear();
        return false;
    }
    const double now = m_clock->Seconds();
    for (auto& ch : m_channels) {
        CCriticalSectionLock lock(ch->cs);
        ch->startSeconds = now;
    }
    m_started = true;
    StepClock();
    for (auto& ch : m_channels) {
        Channel* c = ch.get();
        ch->thread = std::thread([this, c] {
            NameThisThread("rtssim-port-" + std::to_string(c->config.index));
            ServePort(*c);
        });
    }
    m_controlThread = std::thread([this] {
        NameThisThread("rtssim-control");
        ServeControl();
    });
    if (m_options.runClockThread) {
        m_clockThread = std::thread([this] {
            NameThisThread("rtssim-clock");
            RunClock();
        });
    }
    Log(false,
        "running " + std::to_string(m_channels.size()) + " channels from " + m_options.configPath);
    return true;
}

void CRtsSimulator::Stop() {
    if (!m_started) {
        return;
    }
    m_stopping = true;
    m_control.Close();
    for (auto& ch : m_channels)
        ch->listener.Close();
    for (auto& ch : m_channels) {
        if (ch->thread.joinable())
            ch->thread.join();
    }
    if (m_controlThread.joinable())
        m_controlThread.join();
    if (m_clockThread.joinable())
        m_clockThread.join();
    m_channels.clear();  // listeners remove their socket files
    m_shmem.Destroy();
    // The simulator stands for the server of its runtime folder, and the
    // server-wide status memory lives as long as the server: the channels
    // that still map it keep their view, and the next server starts afresh.
    UnlinkNamedObject(statusmem::kMappingName);
    UnlinkNamedObject(statusmem::kMutexName);
    m_started = false;
    Log(false, "stopped");
}

void CRtsSimulator::LogNotes(Channel& ch) {
    for (const std::string& note : ch.model.TakeNotes()) {
        Log(false, ch.config.id + ": " + note);
    }
}

CRtsSimulator::Channel* CRtsSimulator::Find(int channelIndex) {
    for (auto& ch : m_channels) {
        if (ch->config.index == channelIndex)
            return ch.get();
    }
    return nullptr;
}

void CRtsSimulator::StepClock() {
    CCriticalSectionLock held(m_clockCs);
    if (m_clockHeld) {
        return;
    }
    const double now = m_clock->Seconds();
    for (auto& ch : m_channels) {
        CCriticalSectionLock lock(ch->cs);
        const double elapsed = now - ch->startSeconds;
        const auto target = static_cast<std::uint32_t>(
            std::floor(std::max(0.0, elapsed) * ch->config.fieldsPerSecond));
        const std::uint32_t ticks = ch->model.Ticks();
        if (target > ticks) {
            ch->model.Advance(target - ticks);
        }
        LogNotes(*ch);
        ch->model.SetTimeOfDay(PackedTimeOfDay());
        CRtsChannelWrite block(m_shmem, ch->config.index);
        if (block) {
            ch->model.Publish(*block.operator->());
        }
    }
    m_shmem.SetTimeOfDay(PackedTimeOfDay());
}

// Moves every channel on by a number of fields while the clock is held, so
// that a test can compare positions field by field. The channels' start
// times move back by as much, so that the clock runs on from there.
std::string CRtsSimulator::StepHeldClock(const std::string& fieldsText, std::istream& rest) {
    std::string extra;
    rest >> extra;
    char* end = nullptr;
    errno = 0;
    const long fields = std::strtol(fieldsText.c_str(), &end, 10);
    if (fieldsText.empty() || *end != 0 || errno != 0 || fields < 1 || fields > 100000 ||
        !extra.empty())
        return "error usage: clock step FIELDS (1 to 100000, with the clock held)";
    CCriticalSectionLock held(m_clockCs);
    if (!m_clockHeld)
        return "error the clock runs: 'clock hold' first";
    for (auto& ch : m_channels) {
        CCriticalSectionLock lock(ch->cs);
        ch->startSeconds -= static_cast<double>(fields) / ch->config.fieldsPerSecond;
        // A field at a time, as the running clock would see them.
        for (long left = fields; left > 0; --left)
            ch->model.Advance(1);
        LogNotes(*ch);
        ch->model.SetTimeOfDay(PackedTimeOfDay());
        CRtsChannelWrite block(m_shmem, ch->config.index);
        if (block) {
            ch->model.Publish(*block.operator->());
        }
    }
    m_shmem.SetTimeOfDay(PackedTimeOfDay());
    Log(false, "clock stepped " + std::to_string(fields) + " fields");
    return "ok";
}

void CRtsSimulator::RunClock() {
    while (!m_stopping.load()) {
        StepClock();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void CRtsSimulator::Dump(const unsigned char* data, std::size_t size) {
    if (m_options.dumpDir.empty())
        return;
    char name[32];
    std::snprintf(name, sizeof name, "/%06u.riff", ++m_dumpCount);
    CUniqueFd fd(OpenPrivateFile(m_options.dumpDir + name, O_WRONLY | O_TRUNC));
    std::size_t done = 0;
    while (fd.Get() >= 0 && done < size) {
        const ssize_t n = ::write(fd.Get(), data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    if (done != size)
        Log(true, "cannot write " + m_options.dumpDir + name + ": " + std::strerror(errno));
}

bool CRtsSimulator::HandleRequest(int channelIndex, const unsigned char* data, std::size_t size,
                                  std::vector<unsigned char>* reply) {
    Channel* ch = Find(channelIndex);
    if (ch == nullptr)
        return false;
    m_requests.fetch_add(1, std::memory_order_relaxed);
    Dump(data, size);
    std::uint32_t status = kAckOk;
    {
        CCriticalSectionLock lock(ch->cs);
        RtsCheckResult r = CheckRtsMessage(data, size, ch->model.OpenFiles());
        if (r.status == kAckOk && !ch->model.IsOpen() && r.message.form != RtsFourCc("open")) {
            r.status = kAckNotOpen;
            r.problem = RtsFourCcText(r.message.form) + " before \"open\"";
        }
        status = r.status;
        if (status == kAckOk) {
            ch->model.Apply(r.message);
            LogNotes(*ch);
            // What the RTS took shows in its status at once, also while the
            // clock is held (no field passes, the change id and state move).
            CRtsChannelWrite block(m_shmem, ch->config.index);
            if (block) {
                ch->model.Publish(*block.operator->());
            }
            if (m_options.verbose) {
                Log(false, ch->config.id + ": " + RtsFourCcText(r.message.form) + " of " +
                               std::to_string(size) + " bytes taken");
            }
        } else {
            Log(true, ch->config.id + ": refused a message of " + std::to_string(size) +
                          " bytes with status " + std::to_string(status) + ": " + r.problem);
        }
    }
    if (m_faults.ackStatus >= 0) {
        status = static_cast<std::uint32_t>(m_faults.ackStatus.load());
    }
    *reply = BuildRtsReply(status);
    if (m_faults.malformed) {
        // A RIFF size far beyond the bytes sent.
        (*reply)[4] = 0xF0;
        reply->resize(12);
    } else if (const int size = m_faults.replySize.load(); size > 0) {
        GrowReply(*reply, static_cast<std::size_t>(size));
    }
    return true;
}

void CRtsSimulator::ServePort(Channel& ch) {
    std::vector<unsigned char> buffer(kMaxRequest);
    std::vector<unsigned char> reply;
    while (!m_stopping.load()) {
        std::unique_ptr<CIpmConnection> conn = ch.listener.Accept(0);
        if (!conn) {
            if (m_stopping.load() || ch.listener.LastError() == ENOTCONN)
                return;
            continue;
        }
        Log(false, ch.config.id + ": client connected");
        int messages = 0;
        while (!m_stopping.load()) {
            int n = conn->Read(reinterpret_cast<char*>(buffer.data()), kMaxRequest, kPollMs);
            if (n < 0 && conn->LastError() == ETIMEDOUT)
                continue;
            if (n <= 0) {
                if (n < 0 && conn->LastError() == EMSGSIZE) {
                    Log(true, ch.config.id + ": refused a message larger than " +
                                  std::to_string(kMaxRequest) + " bytes");
                    reply = BuildRtsReply(kAckTooMany);
                    conn->Write(reinterpret_cast<const char*>(reply.data()),
                                static_cast<int>(reply.size()), 1000);
                    continue;
                }
                break;
            }
            if (m_faults.exitAbruptly) {
                Log(true, "exiting abruptly (fault switch)");
                _exit(3);
            }
            ++messages;
            if (!HandleRequest(ch.config.index, buffer.data(), static_cast<std::size_t>(n), &reply))
                break;
            if (int delay = m_faults.delayMs.load(); delay > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            }
            if (!m_faults.noReply) {
                conn->Write(reinterpret_cast<const char*>(reply.data()),
                            static_cast<int>(reply.size()), 5000);
            }
            if (int after = m_faults.closeAfter.load(); after > 0 && messages >= after) {
                Log(false, ch.config.id + ": closing the port after " + std::to_string(messages) +
                               " messages (fault switch)");
                break;
            }
        }
        conn.reset();
        CCriticalSectionLock lock(ch.cs);
        ch.model.Reset();
        Log(false, ch.config.id + ": client gone");
    }
}

std::string CRtsSimulator::Control(const std::string& command) {
    std::istringstream in(command);
    std::string verb;
    in >> verb;
    if (verb == "gpi") {
        std::string channelText, inputText, state, extra;
        in >> channelText >> inputText >> state >> extra;
        char* end = nullptr;
        long channel = std::strtol(channelText.c_str(), &end, 10);
        if (channelText.empty() || *end != 0)
            return "error channel '" + channelText + "' is not a number";
        long input = std::strtol(inputText.c_str(), &end, 10);
        if (inputText.empty() || *end != 0 || input < 0 || input > 15)
            return "error GPI input '" + inputText + "' is not 0 to 15";
        if ((state != "on" && state != "off") || !extra.empty())
            return "error usage: gpi CHANNEL INPUT on|off";
        Channel* ch = Find(static_cast<int>(channel));
        if (ch == nullptr)
            return "error no channel " + channelText + " in the configuration";
        CCriticalSectionLock lock(ch->cs);
        ch->model.SetGpiInput(static_cast<int>(input), state == "on");
        return "ok";
    }
    if (verb == "audio") {
        // audio CHANNEL N error CODE: the path reports the error code (0 clears it).
        std::string channelText, audioText, what, codeText, extra;
        in >> channelText >> audioText >> what >> codeText >> extra;
        char* end = nullptr;
        const long channel = std::strtol(channelText.c_str(), &end, 10);
        const bool channelOk = !channelText.empty() && *end == 0;
        const long audio = std::strtol(audioText.c_str(), &end, 10);
        const bool audioOk = !audioText.empty() && *end == 0;
        const unsigned long code = std::strtoul(codeText.c_str(), &end, 0);
        if (!channelOk || !audioOk || what != "error" || codeText.empty() || *end != 0 ||
            code > 0xFFFFFFFFul || !extra.empty())
            return "error usage: audio CHANNEL N error CODE";
        Channel* ch = Find(static_cast<int>(channel));
        if (ch == nullptr)
            return "error no channel " + channelText + " in the configuration";
        CCriticalSectionLock lock(ch->cs);
        if (!ch->model.SetAudioError(static_cast<int>(audio), static_cast<std::uint32_t>(code)))
            return "error channel " + channelText + " has no audio path " + audioText;
        return "ok";
    }
    if (verb == "context") {
        long values[4] = {0, 0, 0, 0};
        int count = 0;
        for (std::string word; count < 5 && in >> word; ++count) {
            char* end = nullptr;
            const long v = std::strtol(word.c_str(), &end, 10);
            if (count == 4 || *end != 0)
                return "error usage: context CHANNEL INDEX PORTSTATE TRIGGERSTATUS";
            values[count] = v;
        }
        if (count != 4 || values[1] < 0 || values[1] >= kRtsContexts || values[2] < 0 ||
            values[2] > 4)
            return "error usage: context CHANNEL INDEX(0-3) PORTSTATE(0-4) TRIGGERSTATUS";
        Channel* ch = Find(static_cast<int>(values[0]));
        if (ch == nullptr)
            return "error no channel " + std::to_string(values[0]) + " in the configuration";
        CCriticalSectionLock lock(ch->cs);
        ch->model.SetContextState(static_cast<int>(values[1]), static_cast<std::int32_t>(values[2]),
                                  static_cast<std::int32_t>(values[3]));
        return "ok";
    }
    if (verb == "gop-offset") {
        std::string channelText, picturesText, extra;
        in >> channelText >> picturesText >> extra;
        char* end = nullptr;
        const long channel = std::strtol(channelText.c_str(), &end, 10);
        if (channelText.empty() || *end != 0)
            return "error channel '" + channelText + "' is not a number";
        const long pictures = std::strtol(picturesText.c_str(), &end, 10);
        if (picturesText.empty() || *end != 0 || pictures < 0 || pictures > 1000 || !extra.empty())
            return "error usage: gop-offset CHANNEL PICTURES (0 to 1000)";
        Channel* ch = Find(static_cast<int>(channel));
        if (ch == nullptr)
            return "error no channel " + channelText + " in the configuration";
        CCriticalSectionLock lock(ch->cs);
        ch->model.SetGopOffset(static_cast<int>(pictures));
        return "ok";
    }
    if (verb == "clock") {
        std::string what, extra;
        in >> what >> extra;
        if (what == "step")
            return StepHeldClock(extra, in);
        if ((what != "hold" && what != "run") || !extra.empty())
            return "error usage: clock hold|run|step FIELDS";
        const bool hold = what == "hold";
        CCriticalSectionLock held(m_clockCs);
        if (hold == m_clockHeld)
            return "ok";
        const double now = m_clock->Seconds();
        if (hold) {
            m_heldAt = now;
        } else {
            for (auto& ch : m_channels) {
                CCriticalSectionLock lock(ch->cs);
                ch->startSeconds += now - m_heldAt;
            }
        }
        m_clockHeld = hold;
        Log(false, hold ? "clock held" : "clock running");
        return "ok";
    }
    if (verb == "fault") {
        std::string rest;
        std::getline(in, rest);
        std::string problem = m_faults.Set(rest);
        return problem.empty() ? "ok" : "error " + problem;
    }
    if (verb == "status") {
        std::string channelText;
        in >> channelText;
        char* end = nullptr;
        long channel = std::strtol(channelText.c_str(), &end, 10);
        Channel* ch = channelText.empty() || *end != 0 ? nullptr : Find(static_cast<int>(channel));
        if (ch == nullptr)
            return "error no channel '" + channelText + "'";
        CCriticalSectionLock lock(ch->cs);
        return ch->model.Summary() + " faults " + m_faults.Describe();
    }
    if (verb == "gpifired") {
        std::string channelText, what, extra;
        in >> channelText >> what >> extra;
        char* end = nullptr;
        long channel = std::strtol(channelText.c_str(), &end, 10);
        Channel* ch = channelText.empty() || *end != 0 ? nullptr : Find(static_cast<int>(channel));
        if (ch == nullptr)
            return "error no channel '" + channelText + "'";
        if ((!what.empty() && what != "clear") || !extra.empty())
            return "error usage: gpifired CHANNEL [clear]";
        CCriticalSectionLock lock(ch->cs);
        if (what == "clear") {
            ch->model.ClearGpiFiredLog();
            return "ok";
        }
        return ch->model.GpiFiredText();
    }
    if (verb == "houseclock" || verb == "gang" || verb == "fired") {
        return ScheduleControl(verb, in);
    }
    if (verb == "quit") {
        m_quit = true;
        return "ok";
    }
    return "error unknown command '" + verb +
           "' (gpi, context, gop-offset, audio, clock, houseclock, gang, fired, gpifired, fault, "
           "status, "
           "quit)";
}

void CRtsSimulator::ServeControl() {
    char buffer[512];
    while (!m_stopping.load()) {
        std::unique_ptr<CIpmConnection> conn = m_control.Accept(0);
        if (!conn) {
            if (m_stopping.load() || m_control.LastError() == ENOTCONN)
                return;
            continue;
        }
        while (!m_stopping.load()) {
            int n = conn->Read(buffer, sizeof buffer, kPollMs);
            if (n < 0 && conn->LastError() == ETIMEDOUT)
                continue;
            if (n <= 0)
                break;
            std::string answer = Control(std::string(buffer, static_cast<std::size_t>(n)));
            Log(false,
                "control '" + std::string(buffer, static_cast<std::size_t>(n)) + "': " + answer);
            conn->Write(answer.data(), static_cast<int>(answer.size()), 5000);
        }
    }
}

namespace {

// A whole unsigned number of at most max, or false.
bool ParseNumber(const std::string& text, unsigned long max, unsigned long* value) {
    if (text.empty() || text[0] == '-') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (*end != 0 || errno != 0 || v > max) {
        return false;
    }
    *value = v;
    return true;
}

}  // namespace

std::string CRtsSimulator::ScheduleControl(const std::string& verb, std::istream& in) {
    std::vector<std::string> words;
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    if (verb == "houseclock") {
        unsigned long value = 0;
        if (words.size() != 1 || !ParseNumber(words[0], 0xFFFFFFFFul, &value))
            return "error usage: houseclock VALUE (0 to 0xFFFFFFFF)";
        for (auto& ch : m_channels) {
            CCriticalSectionLock lock(ch->cs);
            ch->model.SetHouseClock(static_cast<std::uint32_t>(value));
        }
        return "ok";
    }
    unsigned long channel = 0;
    Channel* ch = nullptr;
    if (!words.empty() && ParseNumber(words[0], 99, &channel))
        ch = Find(static_cast<int>(channel));
    if (verb == "gang") {
        unsigned long value = 0, operation = 0;
        if (words.size() != 3 || !ParseNumber(words[1], 0xFFFF, &value) ||
            !ParseNumber(words[2], 0xFFFF, &operation))
            return "error usage: gang CHANNEL VALUE(0-65535) OPID(0-65535)";
        if (ch == nullptr)
            return "error no channel '" + words[0] + "' in the configuration";
        CCriticalSectionLock lock(ch->cs);
        ch->model.SetGangEvent(static_cast<std::uint16_t>(value),
                               static_cast<std::uint16_t>(operation));
        return "ok";
    }
    // fired CHANNEL [FROM]: the count, then as many entries from FROM as
    // fit in one answer of the control port.
    unsigned long from = 0;
    if (words.empty() || words.size() > 2 ||
        (words.size() == 2 && !ParseNumber(words[1], 0xFFFFFFFFul, &from)))
        return "error usage: fired CHANNEL [FROM]";
    if (ch == nullptr)
        return "error no channel '" + words[0] + "' in the configuration";
    CCriticalSectionLock lock(ch->cs);
    const auto& log = ch->model.FiredLog();
    std::string answer =
        "fired " + std::to_string(log.size()) + " held " + std::to_string(ch->model.HeldChanges());
    for (std::size_t i = from; i < log.size(); ++i) {
        const CRtsChannelModel::Fired& f = log[i];
        char line[128];
        std::snprintf(line, sizeof line, "\n%zu %s cond=%d due=%u at=%u asked=%u ctx=%d id=%d", i,
                      f.name.c_str(), f.condition, f.dueTick, f.firedTick, f.receivedTick,
                      f.context, f.changeId);
        if (answer.size() + std::strlen(line) > kControlAnswerMax)
            break;
        answer += line;
    }
    return answer;
}
