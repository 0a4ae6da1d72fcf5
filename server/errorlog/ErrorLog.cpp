#include "server/errorlog/ErrorLog.h"

#include "platform/kernel/PrivateFiles.h"
#include "platform/kernel/RuntimeDir.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

// The chain the calling thread is writing; 0 before its first chain.
thread_local std::uint32_t t_chain = 0;
std::atomic<std::uint32_t> g_nextChain{0};

// One open descriptor per log path, reopened when the runtime folder changes
// (tests point each case at a folder of its own).
struct LogFile {
    std::mutex lock;
    std::string path;  // guarded by lock
    int fd = -1;       // guarded by lock
    // When the file was last checked against its path (guarded by lock).
    std::chrono::steady_clock::time_point checked;
};

// How long a rotation by another process may go unnoticed: its lines still
// land whole in the rotated file. Looking the path up on every line cost a
// system call on every traced context change.
constexpr const char kLogRelative[] = "log/errorlog.log";
constexpr auto kRecheckInterval = std::chrono::milliseconds(200);

LogFile& TheLogFile() {
    static LogFile file;
    return file;
}

const char* LevelName(LONG level) {
    switch (level) {
        case ERRORLOG_LEVEL_ERROR:
            return "ERROR";
        case ERRORLOG_LEVEL_MESSAGE:
            return "MSG";
        case ERRORLOG_LEVEL_TRACE:
            return "TRACE";
        default:
            return "LEVEL";
    }
}

int StderrLevel() {
    const char* v = std::getenv("TMS_LOG_STDERR");
    if (v == nullptr || *v == 0) {
        return 0;
    }
    return std::atoi(v);
}

// Keeps one record on one line whatever the text holds.
void AppendOneLine(std::string& out, const char* text) {
    if (text == nullptr) {
        return;
    }
    for (const char* p = text; *p != 0; ++p) {
        if (*p == '\r') {
            continue;
        }
        if (*p == '\n') {
            out += " / ";
        } else {
            out += *p;
        }
    }
}

std::string TimeText(const SYSTEMTIME& t) {
    char buf[48];  // room for every field at its widest 16-bit value
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    return buf;
}

// getpid is a system call on every record (a traced context change writes
// one); the number changes only in a forked child, which clears it.
std::atomic<int> g_pid{0};

int ProcessId() {
    int pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        static const int registered =
            ::pthread_atfork(nullptr, nullptr, [] { g_pid.store(0, std::memory_order_relaxed); });
        (void)registered;
        pid = static_cast<int>(::getpid());
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

std::string ChainText() {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d.%u", ProcessId(), t_chain);
    return buf;
}

bool WriteLine(const std::string& line, int level) {
    LogFile& file = TheLogFile();
    bool ok = false;
    {
        std::lock_guard<std::mutex> guard(file.lock);
        // The folders are made only when the file is (re)opened: making
        // sure of them cost system calls on every line.
        std::string path;
        try {
            const char* named = std::getenv("TMS_LOG_FILE");
            path = named != nullptr && *named != 0 ? std::string(named)
                                                   : PlannedRuntimePath(kLogRelative);
        } catch (...) {
            path.clear();
        }
        if (!path.empty()) {
            // Reopen when the folder changed or the file was removed or
            // rotated away under us, so no record goes to an unlinked file.
            struct stat byPath {};
            struct stat byFd {};
            // A removed file is seen at once (its lines would be lost); a
            // file renamed away by a rotation at the next check.
            const auto now = std::chrono::steady_clock::now();
            const bool due = now - file.checked >= kRecheckInterval;
            bool stale = file.fd >= 0 && (::fstat(file.fd, &byFd) != 0 || byFd.st_nlink == 0);
            if (!stale && file.fd >= 0 && due) {
                stale = ::stat(path.c_str(), &byPath) != 0 || byPath.st_ino != byFd.st_ino ||
                        byPath.st_dev != byFd.st_dev;
            }
            if (due) {
                file.checked = now;
            }
            if (file.fd < 0 || path != file.path || stale) {
                if (file.fd >= 0) {
                    ::close(file.fd);
                }
                try {
                    path = ErrorLogPath();
                } catch (...) {
                }
                file.fd = OpenPrivateFile(path, O_WRONLY | O_APPEND);
                file.path = path;
            }
            if (file.fd >= 0) {
                // O_APPEND and a single write keep lines whole between processes.
                ssize_t n = ::write(file.fd, line.data(), line.size());
                ok = n == static_cast<ssize_t>(line.size());
            }
        }
    }
    int echo = StderrLevel();
    if (echo != 0 && level != 0 && level <= echo) {
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
    return ok;
}

}  // namespace

std::string ErrorLogPath() {
    const char* file = std::getenv("TMS_LOG_FILE");
    if (file != nullptr && *file != 0) {
        return file;
    }
    return RuntimePath(kLogRelative);
}

BOOL ErrorLogWriteExW(HRESULT hr, SYSTEMTIME time, LONG component, LONG level, const char* file,
                      LONG line, DWORD elapsedMs, const char* text, LONG chainId) {
    std::string out = TimeText(time);
    char head[160];
    std::snprintf(head, sizeof head, " %s comp=%d chain=%s hr=0x%08x %s:%d +%ums ",
                  LevelName(level), component, ChainText().c_str(), static_cast<unsigned>(hr),
                  (file != nullptr && *file != 0) ? file : "-", line, elapsedMs);
    out += head;
    AppendOneLine(out, text);
    out += '\n';
    (void)chainId;  // the thread's chain number groups the records
    return WriteLine(out, level) ? TRUE : FALSE;
}

void ErrorLogWriteEntryPointW(HRESULT hrOrChain, SYSTEMTIME time, const char* entryText) {
    std::string out = TimeText(time);
    char head[96];
    std::snprintf(head, sizeof head, " ENTRY chain=%s hr=0x%08x ", ChainText().c_str(),
                  static_cast<unsigned>(hrOrChain));
    out += head;
    AppendOneLine(out, entryText);
    out += '\n';
    WriteLine(out, ERRORLOG_LEVEL_ERROR);
}

HRESULT ErrorLogCreateChainId(HRESULT hr) {
    t_chain = g_nextChain.fetch_add(1, std::memory_order_relaxed) + 1;
    return FAILED(hr) ? hr : E_FAIL;
}

LONG ErrorLogWriteOwnerInfoW(LONG a, SYSTEMTIME time, const char* s1, const char* s2,
                             const char* s3, const char* s4, LONG b) {
    std::string out = TimeText(time);
    char head[64];
    std::snprintf(head, sizeof head, " OWNER a=%d b=%d ", a, b);
    out += head;
    for (const char* s : {s1, s2, s3, s4}) {
        out += '[';
        AppendOneLine(out, s);
        out += ']';
    }
    out += '\n';
    return WriteLine(out, ERRORLOG_LEVEL_MESSAGE) ? 1 : 0;
}

void ErrorLogSetChannelUse(LONG channelIndex, LONG use) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char text[64];
    std::snprintf(text, sizeof text, "channel %d in use (%d) by pid %d", channelIndex, use,
                  static_cast<int>(::getpid()));
    ErrorLogWriteExW(S_OK, now, 0, ERRORLOG_LEVEL_MESSAGE, "", -1, 0, text, 0);
}
