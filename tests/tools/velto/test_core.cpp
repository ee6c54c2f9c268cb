// velto's core without the library: what the status reports and the
// library's fixed timings say (the countdown an operator watches, how a
// mount point ended), the file names a caster's mount points turn into, and
// the reading of a source table the library could not use.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/names.h"
#include "core/run_options.h"
#include "core/table_probe.h"
#include "core/timeline.h"
#include "mount_point.h"

namespace {

const SteadyClock::time_point kRunStart = SteadyClock::time_point() + std::chrono::hours(1);

SteadyClock::time_point at(double seconds) {
    return kRunStart + std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(seconds));
}

StatusChange change(int status, double seconds, bool fromStart = false) {
    StatusChange made;
    made.status = status;
    made.when = at(seconds);
    made.fromStart = fromStart;
    return made;
}

StatusTimeline timelineOf(const std::vector<StatusChange> &changes) {
    StatusTimeline timeline;
    timeline.begin(kRunStart);
    for (const StatusChange &each : changes)
        timeline.record(each);
    return timeline;
}

// Scenario: a caster that cannot be reached. The library reports the first
// failure, then repeats it silently every 30 s plus the attempt; velto counts
// down exactly through the reported pause and estimates after it.
TEST(NextAttempt, ExactInThePauseThenEstimatedCycles) {
    // The connect failed 3 s into the run: the attempt took 3 s.
    StatusTimeline timeline = timelineOf({change(VELTO_STATUS_CONNECT_FAILED, 3)});
    NextAttempt next = timeline.nextAttempt(at(13));
    EXPECT_TRUE(next.expected && !next.estimated);
    EXPECT_DOUBLE_EQ(next.seconds, 20);

    next = timeline.nextAttempt(at(3 + 30 + 1)); // the first silent attempt, under way
    EXPECT_TRUE(next.expected && next.estimated);
    EXPECT_DOUBLE_EQ(next.seconds, 0);
    next = timeline.nextAttempt(at(3 + 30 + 3 + 5)); // 5 s into the pause after it
    EXPECT_NEAR(next.seconds, 25, 1e-9);
    next = timeline.nextAttempt(at(3 + 2 * 33 + 10)); // 10 s into the pause after the second
    EXPECT_NEAR(next.seconds, 20, 1e-9);
}

// An attempt is timed from the end of the pause after the last report; one
// that took longer than the library lets it (something went unreported)
// counts as the longest it can take.
TEST(NextAttempt, AttemptTimedFromTheLastPause) {
    StatusTimeline measured =
        timelineOf({change(VELTO_STATUS_NO_ANSWER, 16), change(VELTO_STATUS_CONNECT_FAILED, 16 + 30 + 4)});
    EXPECT_NEAR(measured.nextAttempt(at(50 + 30 + 3.9)).seconds, 0, 1e-9);
    EXPECT_NEAR(measured.nextAttempt(at(50 + 30 + 5)).seconds, 29, 1e-9);

    StatusTimeline unexplained = timelineOf({change(VELTO_STATUS_CONNECT_FAILED, 50)}); // bound 8 s
    EXPECT_NEAR(unexplained.nextAttempt(at(50 + 30 + 7.9)).seconds, 0, 1e-9);
    EXPECT_NEAR(unexplained.nextAttempt(at(50 + 30 + 9)).seconds, 29, 1e-9);

    // A refusal is an answer: the attempt is over as soon as it is in.
    StatusTimeline refused = timelineOf({change(VELTO_STATUS_NOT_FOUND, 0.2)});
    EXPECT_NEAR(refused.nextAttempt(at(0.2 + 30 + 10)).seconds, 20, 1e-9);
}

TEST(NextAttempt, NoneExpectedOrNeverSilent) {
    EXPECT_FALSE(timelineOf({}).nextAttempt(at(5)).expected);
    EXPECT_FALSE(timelineOf({change(VELTO_STATUS_STREAMING, 1)}).nextAttempt(at(5)).expected);
    EXPECT_FALSE(timelineOf({change(VELTO_STATUS_UNRESOLVED, 0, true)}).nextAttempt(at(5)).expected);
    // The attempt after a lost stream's pause either streams or fails in
    // another way, and both are reported: no silent cycle to estimate.
    NextAttempt lost = timelineOf({change(VELTO_STATUS_STREAMING, 1), change(VELTO_STATUS_STREAM_LOST, 10)})
                           .nextAttempt(at(10 + 30 + 20));
    EXPECT_TRUE(lost.expected && lost.estimated);
    EXPECT_DOUBLE_EQ(lost.seconds, 0);
}

TEST(Timeline, StreamingTimeAndConnections) {
    StatusTimeline timeline = timelineOf({change(VELTO_STATUS_STREAMING, 1), change(VELTO_STATUS_STREAM_LOST, 11),
                                          change(VELTO_STATUS_STREAMING, 41)});
    EXPECT_EQ(timeline.connections(), 2);
    EXPECT_NEAR(timeline.streamingSeconds(at(51)), 20, 1e-9);
}

// How a mount point ended decides velto's exit status, and with several
// mount points the worst one wins.
TEST(Timeline, Endings) {
    StatusTimeline refusedAtStart = timelineOf({change(VELTO_STATUS_UNRESOLVED, 0, true), change(0, 0.1)});
    EXPECT_EQ(refusedAtStart.ending(VELTO_STATUS_IDLE), Ending::RefusedAtStart);

    StatusTimeline never = timelineOf({change(VELTO_STATUS_CONNECT_FAILED, 8)});
    EXPECT_EQ(never.ending(VELTO_STATUS_CONNECT_FAILED), Ending::NeverStreamed);
    EXPECT_EQ(never.ending(VELTO_STATUS_NOT_FOUND), Ending::NotFound);
    EXPECT_EQ(never.ending(VELTO_STATUS_UNAUTHORISED), Ending::NotAuthorised);
    EXPECT_EQ(never.ending(VELTO_STATUS_NOT_IMPLEMENTED), Ending::NotImplemented);

    // Stopped while streaming: the final idle the client reports after the
    // stop says nothing about the caster.
    StatusTimeline streamed = timelineOf({change(VELTO_STATUS_STREAMING, 1), change(VELTO_STATUS_IDLE, 60)});
    EXPECT_EQ(streamed.ending(VELTO_STATUS_STREAMING), Ending::Streaming);
    EXPECT_EQ(streamed.ending(VELTO_STATUS_STREAM_LOST), Ending::Down);
}

// Scenario: a caster offers mount points whose names hold anything
// printable. Each one's file must stay inside --output-dir, under a name no
// other mount point gets.
TEST(Names, SafeFileNames) {
    EXPECT_EQ(names::safeFileName("RTCM3_A-1.b"), "RTCM3_A-1.b");
    EXPECT_EQ(names::safeFileName(".."), "%2E.");
    EXPECT_EQ(names::safeFileName(".B"), "%2EB");
    EXPECT_EQ(names::safeFileName("a/../b"), "a%2F..%2Fb");
    EXPECT_EQ(names::safeFileName("100%"), "100%25");
    EXPECT_EQ(names::safeFileName("\xC3\xA9"), "%C3%A9");
    // Distinct names stay distinct, the escape itself included.
    EXPECT_NE(names::safeFileName("a/"), names::safeFileName("a%2F"));

    EXPECT_TRUE(mount_point::valid("!~"));
    for (const char *bad : {"", "A B", "A\r\nHost: x", "A\x7F", "A\x80"})
        EXPECT_FALSE(mount_point::valid(bad)) << bad;
}

TEST(Names, OutputPatterns) {
    EXPECT_TRUE(names::validPattern("out/%m-%%.rtcm"));
    for (const char *bad : {"x%", "x%q", "%M"})
        EXPECT_FALSE(names::validPattern(bad)) << bad;
    EXPECT_TRUE(names::patternNamesMount("a%m"));
    EXPECT_FALSE(names::patternNamesMount("a%%m"));
    EXPECT_EQ(names::expandPattern("out/%m-%%.rtcm", "A/B"), "out/A%2FB-%.rtcm");

    RunOptions options;
    options.output = "d-%m";
    EXPECT_EQ(options.outputFor("A/B"), "d-A%2FB");
    options.outputDir = "dir";
    options.output.clear();
    EXPECT_EQ(options.outputFor(".."), "dir/%2E.");
    options.noData = true;
    EXPECT_EQ(options.outputFor("A"), "");
    EXPECT_EQ(RunOptions().outputFor("A"), "-");
}

TEST(Names, ClosestFirstIgnoringCaseThenCastersOrder) {
    std::vector<std::string> offered = {"ZZZZ", "rtcm3_demo", "RTCM3_DEMX", "RTCM3_DEMY", "RTCM3"};
    std::vector<std::string> ranked = names::closestFirst("RTCM3_DEMO", offered);
    EXPECT_EQ(ranked, (std::vector<std::string>{"rtcm3_demo", "RTCM3_DEMX", "RTCM3_DEMY", "RTCM3", "ZZZZ"}));
}

// Scenario: the library found no mount point; velto's own look at the
// answer tells an empty table from one it cannot read.
TEST(TableProbe, ClassifiesWhatTheLibraryCouldNotRead) {
    std::string detail;
    EXPECT_EQ(classifyTable("SOURCETABLE 200 OK\r\n\r\nSTR;A;\r\nENDSOURCETABLE\r\n", true, &detail),
              TableProbe::HasRecords);
    EXPECT_EQ(classifyTable("SOURCETABLE 200 OK\r\n\r\nNET;STR;x\r\nENDSOURCETABLE\r\n", true, &detail),
              TableProbe::EmptyTable);
    std::string longLine = "SOURCETABLE 200 OK\r\n\r\nCAS;" + std::string(4100, 'x') + "\r\n";
    EXPECT_EQ(classifyTable(longLine, true, &detail), TableProbe::Malformed);
    EXPECT_NE(detail.find("4095"), std::string::npos);
    std::string endless = "SOURCETABLE 200 OK\r\n\r\n";
    while (endless.size() < 65536)
        endless += "CAS;caster.example;2101\r\n";
    EXPECT_EQ(classifyTable(endless, false, &detail), TableProbe::Malformed);
    EXPECT_EQ(classifyTable(endless, true, &detail), TableProbe::EmptyTable);
}

} // namespace
