// Small helpers shared by the benchmark programs: medians and 99th
// percentiles, the process's resident memory, a monotonic clock and the ROW
// lines scripts/bench.sh reads.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace bench {

inline double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The value 99 % of v lie at or under.
inline double p99(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(double(v.size()) * 0.99))];
}

inline double now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

// CPU time of the calling thread.
inline double thread_cpu_ms()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

// CPU time (user + system) a process has used, in milliseconds.
inline double process_cpu_ms(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    FILE *f = std::fopen(path, "r");
    if (!f)
        return 0;
    char buf[1024];
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = 0;
    const char *p = std::strrchr(buf, ')');  // the name may hold blanks
    unsigned long utime = 0, stime = 0;
    if (!p || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return 0;
    return double(utime + stime) * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

// Resident set of a process (this one by default) in MiB (VmRSS), 0 when
// unknown.
inline double rss_mib(pid_t pid = 0)
{
    char path[64];
    if (pid > 0)
        std::snprintf(path, sizeof path, "/proc/%d/status", int(pid));
    else
        std::snprintf(path, sizeof path, "/proc/self/status");
    FILE *f = std::fopen(path, "r");
    if (!f)
        return 0;
    char line[256];
    double kib = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "VmRSS:", 6) == 0) {
            kib = std::atof(line + 6);
            break;
        }
    std::fclose(f);
    return kib / 1024.0;
}

inline std::string fmt(const char *format, double v)
{
    char b[64];
    std::snprintf(b, sizeof b, format, v);
    return b;
}

// One line of the summary table.
inline void row(const std::string &section, const std::string &measure, const std::string &figure,
                const std::string &goal, const std::string &verdict)
{
    std::printf("ROW|%s|%s|%s|%s|%s\n", section.c_str(), measure.c_str(), figure.c_str(), goal.c_str(),
                verdict.c_str());
    std::fflush(stdout);
}

}  // namespace bench
