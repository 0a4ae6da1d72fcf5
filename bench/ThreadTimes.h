// CPU time of this process and of its threads, by thread name, for
// benchmarks that run the channel and the RTS simulator in one process and
// must tell their costs apart.
//
// A thread's time comes from /proc/self/task/<tid>/schedstat (nanoseconds
// on a CPU, kept by the scheduler), not from the tick-sampled utime and
// stime, which at 100 Hz cannot see a thread that runs a few microseconds
// at a time. Thread names are the ones the threads gave themselves
// ("tms-status-3", "rtssim-clock"); the system cuts them to 15 bytes.
//
// Thread safety: any thread; each call reads the files afresh.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace bench {

struct ThreadTime {
    std::string name;
    std::uint64_t cpuNs = 0;
};

// Every thread of this process now, by thread id. A thread that ends while
// the folder is read is left out.
inline std::map<pid_t, ThreadTime> ReadThreadTimes() {
    std::map<pid_t, ThreadTime> threads;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        const std::string tid = task.path().filename().string();
        ThreadTime t;
        std::ifstream comm(task.path() / "comm");
        std::ifstream schedstat(task.path() / "schedstat");
        if (!std::getline(comm, t.name) || !(schedstat >> t.cpuNs)) {
            continue;
        }
        threads[static_cast<pid_t>(std::strtol(tid.c_str(), nullptr, 10))] = t;
    }
    return threads;
}

// Nanoseconds on a CPU between two readings of the threads whose names begin
// with prefix ("" for all). A thread that began in between counts from zero;
// one that ended in between is lost, so take the readings while the threads
// of interest run.
inline double CpuBetween(const std::map<pid_t, ThreadTime>& before,
                         const std::map<pid_t, ThreadTime>& after, const std::string& prefix) {
    double ns = 0;
    for (const auto& [tid, t] : after) {
        if (t.name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        const auto was = before.find(tid);
        const bool same = was != before.end() && was->second.name == t.name;
        ns += static_cast<double>(t.cpuNs - (same ? was->second.cpuNs : 0));
    }
    return ns;
}

// The calling thread's CPU time so far, in nanoseconds.
inline double ThreadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// User and system time of the whole process so far, in nanoseconds.
inline double ProcessCpuNs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ns = [](const timeval& tv) {
        return static_cast<double>(tv.tv_sec) * 1e9 + static_cast<double>(tv.tv_usec) * 1e3;
    };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

}  // namespace bench
