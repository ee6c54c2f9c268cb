// Figures of another process, read from /proc, and the streaming count of a
// velto --json file: what the benchmarks of velto stream and velto monitor
// measure their child process by.
#ifndef VELTO_BENCH_PROCESS_FIGURES_H
#define VELTO_BENCH_PROCESS_FIGURES_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

// Status events with status 1 in a velto --json file.
inline int countStreaming(const std::string &events) {
    std::ifstream in(events);
    std::string line;
    int count = 0;
    while (std::getline(in, line))
        count += line.compare(0, 18, "{\"event\":\"status\",") == 0 &&
                 line.find("\"status\":1,") != std::string::npos;
    return count;
}

// User and system CPU time of all the process's threads so far, in seconds.
inline double cpuSecondsOfProcess(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses: 14 utime, 15 stime.
    std::string rest = text.substr(text.rfind(')') + 2);
    char state;
    long skip, utime, stime;
    sscanf(rest.c_str(), "%c %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld", &state, &skip, &skip,
           &skip, &skip, &skip, &skip, &skip, &skip, &skip, &skip, &utime, &stime);
    return (double)(utime + stime) / (double)sysconf(_SC_CLK_TCK);
}

// A number field of /proc/PID/status ("VmRSS:", "VmHWM:"), in its unit; -1
// when there is none.
inline long statusField(pid_t pid, const char *name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, strlen(name), name) == 0)
            return atol(line.c_str() + strlen(name));
    return -1;
}

#endif
