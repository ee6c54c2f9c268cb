// How fast the RTCM 3 analysis of the tools goes through a real stream: the
// GMSD7 recording fed again and again in the library's 2048-byte blocks, on
// one thread, timed by that thread's CPU clock. The analysis touches every
// byte a client receives, so it must stay far ahead of any network. The
// checksum alone, in its fast and its plain byte-wise form, shows where the
// time goes.
//
//   bench_analysis [RECORDING] [--seconds S]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "analysis.h"
#include "crc24q.h"

namespace {

const double kGoalGigabytesPerSecond = 1.0;
const size_t kBlock = 2048;

double threadSeconds() {
    struct timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return (double)now.tv_sec + now.tv_nsec / 1e9;
}

std::vector<uint8_t> readFile(const char *path) {
    std::vector<uint8_t> bytes;
    FILE *file = fopen(path, "rb");
    if (file == NULL) {
        perror(path);
        exit(1);
    }
    uint8_t buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + got);
    fclose(file);
    return bytes;
}

// Passes of the whole recording through one analysis, as one long stream:
// each pass ends with the link dropping (the cut frame at the file's end)
// and an interval roll, as a client's stats would.
double analysisRate(const std::vector<uint8_t> &recording, double seconds, uint64_t *framesSeen) {
    analysis::StreamAnalysis stream;
    double receipt = 1350172784.0;
    uint64_t bytes = 0;
    double start = threadSeconds(), used = 0;
    while (used < seconds) {
        for (size_t at = 0; at < recording.size(); at += kBlock) {
            size_t size = recording.size() - at < kBlock ? recording.size() - at : kBlock;
            stream.feed(recording.data() + at, size, receipt);
        }
        stream.linkDropped(receipt);
        stream.rollInterval(receipt);
        receipt += 1;
        bytes += recording.size();
        used = threadSeconds() - start;
    }
    *framesSeen = stream.snapshot().framing.frames;
    return bytes / used / 1e9;
}

double checksumRate(const std::vector<uint8_t> &recording, double seconds,
                    uint32_t (*checksum)(const uint8_t *, size_t)) {
    uint64_t bytes = 0;
    uint32_t sink = 0;
    double start = threadSeconds(), used = 0;
    while (used < seconds) {
        for (size_t at = 0; at < recording.size(); at += kBlock) {
            size_t size = recording.size() - at < kBlock ? recording.size() - at : kBlock;
            sink ^= checksum(recording.data() + at, size);
        }
        bytes += recording.size();
        used = threadSeconds() - start;
    }
    if (sink == 0x1000000) // never true; keeps the work from being optimised away
        printf("\n");
    return bytes / used / 1e9;
}

} // namespace

int main(int argc, char **argv) {
    const char *path = VELTO_RECORDING;
    double seconds = 2;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = atof(argv[++i]);
        else
            path = argv[i];
    }
    std::vector<uint8_t> recording = readFile(path);
    uint64_t frames = 0;
    double analysed = analysisRate(recording, seconds, &frames);
    double fast = checksumRate(recording, seconds / 2, analysis::crc24q);
    double plain = checksumRate(recording, seconds / 2, analysis::crc24qBytewise);

    printf("RTCM 3 analysis (%s, %zu bytes, %zu-byte blocks, one thread, its CPU time)\n",
           path, recording.size(), kBlock);
    printf("  %-44s %6.2f GB/s per core   (goal >= %.1f)  %s\n", "analysis: framing, decoding, facts",
           analysed, kGoalGigabytesPerSecond, analysed >= kGoalGigabytesPerSecond ? "met" : "NOT MET");
    printf("  %-44s %6.2f GB/s\n", "CRC-24Q alone, as the analysis computes it", fast);
    printf("  %-44s %6.2f GB/s\n", "CRC-24Q alone, one byte per step", plain);
    printf("  (%llu frames decoded)\n", (unsigned long long)frames);
    return 0;
}
