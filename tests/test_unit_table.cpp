// The source-table text reader on plain byte arrays: the caster's answer is
// cut into blocks wherever a test (or a random generator) chooses, the way
// TCP segments and partial receives cut it on a real link, and every block
// is fed through the room the reader offers.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string.h>
#include <string>
#include <vector>

#include "ntrip.h"

namespace {

const char kEnd[] = "ENDSOURCETABLE\r\n";
// Bytes of one line the reader keeps; a record's deciding byte must lie
// within them.
const size_t kKeptLineBytes = 4095;

// The source callback carries no user pointer: the mount points of the
// reading under way on this thread go to this list, and the reader in use
// tells where a mount point cut in place must lie.
thread_local std::vector<std::string> *handedOver = nullptr;
thread_local const SourceTableReader *readerInUse = nullptr;

void checkCutInPlace(const char *mountPoint) {
    const char *block = readerInUse->block;
    ASSERT_GE(mountPoint, block);
    ASSERT_LT(mountPoint, block + kTableBlockSize);
    const void *terminator = memchr(mountPoint, '\0', (size_t)(block + kTableBlockSize - mountPoint));
    ASSERT_NE(terminator, nullptr) << "mount point not terminated inside the block";
    EXPECT_EQ(strcspn(mountPoint, ";\r\n"), strlen(mountPoint)) << mountPoint;
}

void VELTO_CALL collectMountPoint(char *mountPoint) {
    checkCutInPlace(mountPoint);
    handedOver->push_back(mountPoint);
}

struct Reading {
    std::vector<std::string> mountPoints;
    TableProgress progress = kTableGoOn; // the answer of the last feed
    int count = 0;                       // the reader's own count
    size_t fed = 0;                      // bytes fed before the reader stopped
};

// Feeds text to a fresh reader in blocks of the given sizes, taken in turn
// and repeated, never more than the room the reader offers, until the text
// is used up or the reader ends or refuses.
Reading readInBlocks(const std::string &text, const std::vector<size_t> &sizes,
                     VeltoSourceCallback callback = collectMountPoint) {
    Reading reading;
    std::vector<std::string> *outerList = handedOver;
    const SourceTableReader *outerReader = readerInUse;
    std::unique_ptr<SourceTableReader> reader(new SourceTableReader);
    handedOver = &reading.mountPoints;
    readerInUse = reader.get();
    tableReaderStart(reader.get(), callback);
    for (size_t turn = 0; reading.fed < text.size() && reading.progress == kTableGoOn; ++turn) {
        int room = 0;
        char *space = tableReaderSpace(reader.get(), &room);
        EXPECT_GE(room, 1);
        EXPECT_LE(room, kTableBlockSize - 1);
        size_t count = sizes[turn % sizes.size()];
        count = std::min(count, (size_t)room);
        count = std::min(count, text.size() - reading.fed);
        memcpy(space, text.data() + reading.fed, count);
        reading.fed += count;
        reading.progress = tableReaderFeed(reader.get(), (int)count);
    }
    reading.count = reader->count;
    handedOver = outerList;
    readerInUse = outerReader;
    return reading;
}

Reading readWhole(const std::string &text) { return readInBlocks(text, {kKeptLineBytes}); }

// Blocks that end exactly at the given positions of the text.
std::vector<size_t> cutsAt(std::vector<size_t> positions, size_t textSize) {
    std::vector<size_t> sizes;
    size_t previous = 0;
    for (size_t position : positions) {
        sizes.push_back(position - previous);
        previous = position;
    }
    sizes.push_back(textSize - previous);
    return sizes;
}

std::string table(const std::vector<std::string> &lines, const char *lineEnd = "\r\n") {
    std::string text = std::string("SOURCETABLE 200 OK") + lineEnd;
    for (const std::string &line : lines)
        text += line + lineEnd;
    return text + "ENDSOURCETABLE" + lineEnd;
}

using Names = std::vector<std::string>;

// Every way of cutting the text into two blocks, and into three for short
// texts, and every uniform block size, gives the same mount points.
void expectSameWhereverCut(const std::string &text, const Names &expected,
                           TableProgress outcome = kTableEnded) {
    for (size_t cut = 1; cut < text.size(); ++cut) {
        Reading reading = readInBlocks(text, cutsAt({cut}, text.size()));
        ASSERT_EQ(reading.mountPoints, expected) << "cut at " << cut;
        ASSERT_EQ(reading.progress, outcome) << "cut at " << cut;
        ASSERT_EQ(reading.count, (int)expected.size());
    }
    if (text.size() <= 300)
        for (size_t first = 1; first < text.size(); ++first)
            for (size_t second = first + 1; second < text.size(); ++second) {
                Reading reading = readInBlocks(text, cutsAt({first, second}, text.size()));
                ASSERT_EQ(reading.mountPoints, expected) << "cuts at " << first << ", " << second;
                ASSERT_EQ(reading.progress, outcome);
            }
    for (size_t size = 1; size <= 64; ++size) {
        Reading reading = readInBlocks(text, {size});
        ASSERT_EQ(reading.mountPoints, expected) << "blocks of " << size;
        ASSERT_EQ(reading.progress, outcome);
    }
}

} // namespace

// A caster's ordinary answer, as it arrives in one piece on a quiet link:
// the status line, header lines, caster and network records, the stream
// records the host wants to list, and the end marker.
TEST(TableRecords, ThreeRecordsInOrder) {
    std::string text = table({"STR;MP01;Mount one;RTCM 3.2;;2;GPS;NET;DEU;52.0;13.0;0;0;x;none;B;N;9600;",
                              "STR;Second;;RTCM 3;", "STR;third_one;Hamburg;RTCM 3.3;"});
    Reading reading = readWhole(text);
    EXPECT_EQ(reading.mountPoints, (Names{"MP01", "Second", "third_one"}));
    EXPECT_EQ(reading.count, 3);
    EXPECT_EQ(reading.progress, kTableEnded);
}

TEST(TableRecords, EmptyMountPointIsHandedOverAndCounted) {
    Reading reading = readWhole(table({"STR;;empty;RTCM;", "STR;after;x;"}));
    EXPECT_EQ(reading.mountPoints, (Names{"", "after"}));
    EXPECT_EQ(reading.count, 2);
}

TEST(TableRecords, KeywordsInLowerCase) {
    Reading reading = readWhole("sourcetable 200 ok\r\nstr;lower;x;\r\nStR;Mixed;x;\r\nendsourcetable\r\n"
                                "STR;late;x;\r\n");
    EXPECT_EQ(reading.mountPoints, (Names{"lower", "Mixed"}));
    EXPECT_EQ(reading.progress, kTableEnded);
}

TEST(TableRecords, HeaderCasterAndNetworkLinesIgnored) {
    std::string text = "SOURCETABLE 200 OK\r\n"
                       "Server: NTRIP Caster 2.0/1.0\r\n"
                       "Date: Tue, 01 Jan 2019 00:00:00 GMT\r\n"
                       "Content-Type: text/plain\r\n"
                       "Content-Length: 300\r\n"
                       "\r\n"
                       "CAS;caster.example;2101;Example;Velto;0;DEU;52.0;13.0;0.0.0.0;0;none\r\n"
                       "NET;EXAMPLE;Velto;B;N;none;none;none;none\r\n"
                       "STREAM;not a record;\r\n"
                       "STR;ONLY;x;\r\n"
                       "S\r\n"
                       "ST\r\n"
                       "STR\r\n"
                       "E\r\n"
                       "ENDSOURCE\r\n"
                       "ENDSOURCETABLE\r\n";
    EXPECT_EQ(readWhole(text).mountPoints, (Names{"ONLY"}));
    expectSameWhereverCut(text, {"ONLY"});
}

TEST(TableRecords, TableWithoutRecords) {
    Reading reading = readWhole("SOURCETABLE 200 OK\r\nServer: x\r\n\r\nCAS;a;2101;\r\nNET;b;c;\r\n"
                                "ENDSOURCETABLE\r\n");
    EXPECT_TRUE(reading.mountPoints.empty());
    EXPECT_EQ(reading.count, 0);
    EXPECT_EQ(reading.progress, kTableEnded);
}

TEST(TableRecords, EndMarkerWithMoreCharactersEndsTheTable) {
    Reading reading = readWhole("SOURCETABLE 200 OK\r\nSTR;A;\r\nENDSOURCETABLE more\r\nSTR;B;\r\n");
    EXPECT_EQ(reading.mountPoints, (Names{"A"}));
    EXPECT_EQ(reading.progress, kTableEnded);
}

// A caster that answers the source-table request with something else: a
// stream answer, an HTTP error, a truncated status line. Nothing of what
// follows is taken for a record.
TEST(TableRefused, StreamAnswerRefused) {
    Reading reading = readWhole("ICY 200 OK\r\nSTR;A;x;\r\nENDSOURCETABLE\r\n");
    EXPECT_EQ(reading.progress, kTableRefused);
    EXPECT_TRUE(reading.mountPoints.empty());
    EXPECT_EQ(reading.count, 0);
}

TEST(TableRefused, HttpStatusLineRefused) {
    for (const char *answer : {"HTTP/1.1 404 Not Found\r\n\r\nSTR;A;x;\r\n",
                               "HTTP/1.1 200 OK\r\nSOURCETABLE 200 OK\r\nSTR;A;x;\r\n",
                               "HTTP/1.0 401 Unauthorized\r\n"}) {
        Reading reading = readWhole(answer);
        EXPECT_EQ(reading.progress, kTableRefused) << answer;
        EXPECT_TRUE(reading.mountPoints.empty()) << answer;
    }
}

TEST(TableRefused, EndMarkerOrRecordAsFirstLineRefused) {
    EXPECT_EQ(readWhole("ENDSOURCETABLE\r\n").progress, kTableRefused);
    Reading reading = readWhole("STR;A;x;\r\nSOURCETABLE 200 OK\r\nSTR;B;\r\n");
    EXPECT_EQ(reading.progress, kTableRefused);
    EXPECT_TRUE(reading.mountPoints.empty());
}

TEST(TableRefused, ShortCompleteFirstLineRefused) {
    for (const char *answer : {"SOURCETABLE 200\r\nSTR;A;\r\n", "SOURCETABLE 200 O\nSTR;A;\n",
                               "SOURCETABLE\rSTR;A;\r", "S\r\n"}) {
        Reading reading = readWhole(answer);
        EXPECT_EQ(reading.progress, kTableRefused) << answer;
        EXPECT_TRUE(reading.mountPoints.empty());
    }
}

TEST(TableRefused, RefusalDoesNotDependOnBlockBoundaries) {
    expectSameWhereverCut("ICY 200 OK\r\nSTR;A;x;\r\n", {}, kTableRefused);
    expectSameWhereverCut("SOURCETABLE 200\r\nSTR;A;x;\r\n", {}, kTableRefused);
    expectSameWhereverCut("SOURCETABLE 201 OK\r\nSTR;A;x;\r\n", {}, kTableRefused);
}

// The status line arriving in pieces (a caster or a proxy that flushes it in
// two TCP segments: every cut of it is among those of RecordsSameWhereverCut
// below), or ended by a lone LF with the first record straight behind it in
// the same segment.
TEST(TableStatusLine, LoneLineFeedThenRecordInOneBlock) {
    Reading reading = readWhole("SOURCETABLE 200 OK\nSTR;First;x;\r\nSTR;Second;x;\r\nENDSOURCETABLE\r\n");
    EXPECT_EQ(reading.mountPoints, (Names{"First", "Second"}));
}

TEST(TableStatusLine, DecidedOnceEighteenCharactersArrived) {
    std::string good = "SOURCETABLE 200 OK";
    Reading pending = readWhole(good);
    EXPECT_EQ(pending.progress, kTableGoOn);
    Reading accepted = readInBlocks(good + "\r\nSTR;A;x;\r\n", {good.size(), 100});
    EXPECT_EQ(accepted.mountPoints, (Names{"A"}));
    // A wrong status is refused without waiting for the rest of its line.
    EXPECT_EQ(readWhole("SOURCETABLE 404 NO").progress, kTableRefused);
    EXPECT_EQ(readWhole("HTTP/1.1 404 Not Found").progress, kTableRefused);
}

TEST(TableStatusLine, LongerStatusLineAndLeadingEmptyLinesAccepted) {
    Reading reading = readWhole("\r\n\r\nSOURCETABLE 200 OK and more\r\nSTR;A;x;\r\nENDSOURCETABLE\r\n");
    EXPECT_EQ(reading.mountPoints, (Names{"A"}));
    EXPECT_EQ(reading.progress, kTableEnded);
}

// Records cut by block boundaries: on a real link a receive ends wherever
// the segments and the reader's room happen to end, also inside "STR;",
// inside a mount point, right before or right after its ';'.
// RecordsSameWhereverCut below tries every such cut.
TEST(TableBoundaries, MountPointHandedOverOnlyWhenComplete) {
    std::unique_ptr<SourceTableReader> reader(new SourceTableReader);
    Names names;
    handedOver = &names;
    readerInUse = reader.get();
    tableReaderStart(reader.get(), collectMountPoint);
    auto feed = [&](const std::string &bytes) {
        int room = 0;
        char *space = tableReaderSpace(reader.get(), &room);
        EXPECT_LE(bytes.size(), (size_t)room);
        memcpy(space, bytes.data(), bytes.size());
        return tableReaderFeed(reader.get(), (int)bytes.size());
    };
    EXPECT_EQ(feed("SOURCETABLE 200 OK\r\nSTR;MOU"), kTableGoOn);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(feed("NT"), kTableGoOn);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(feed(";rest"), kTableGoOn);
    EXPECT_EQ(names, (Names{"MOUNT"}));
    EXPECT_EQ(feed(" of it;STR;no;\r\nSTR;Open"), kTableGoOn);
    EXPECT_EQ(names, (Names{"MOUNT"}));
    EXPECT_EQ(feed("Line"), kTableGoOn);
    EXPECT_EQ(names, (Names{"MOUNT"}));
    EXPECT_EQ(feed("\r\n"), kTableGoOn);
    EXPECT_EQ(names, (Names{"MOUNT", "OpenLine"}));
    EXPECT_EQ(reader->count, 2);
    handedOver = nullptr;
    readerInUse = nullptr;
}

TEST(TableBoundaries, LastFragmentWithoutSeparatorIsNeverHandedOver) {
    // The caster closes (or the receive times out) here: nothing completes
    // the line, so its mount point may be cut short and is dropped.
    std::string text = "SOURCETABLE 200 OK\r\nSTR;A;x;\r\nSTR;Trunc";
    for (size_t size = 1; size <= text.size(); ++size) {
        Reading reading = readInBlocks(text, {size});
        EXPECT_EQ(reading.mountPoints, (Names{"A"})) << "blocks of " << size;
        EXPECT_EQ(reading.progress, kTableGoOn);
    }
}

TEST(TableBoundaries, EndMarkerSplitAnywhere) {
    std::string text = table({"STR;A;x;"}) + "STR;after;x;\r\n";
    expectSameWhereverCut(text, {"A"});
    size_t marker = text.find("ENDSOURCETABLE");
    // Fourteen characters decide: the table ends with the block that brings
    // them, without waiting for the line end.
    const size_t decisive = strlen("ENDSOURCETABLE");
    for (size_t inside = 1; inside < strlen(kEnd); ++inside) {
        Reading reading = readInBlocks(text, cutsAt({marker + inside}, text.size()));
        EXPECT_EQ(reading.progress, kTableEnded) << "cut after " << inside;
        EXPECT_EQ(reading.fed, inside < decisive ? text.size() : marker + inside) << "cut after " << inside;
    }
}

// The rest of a record behind its mount point may arrive in the next block;
// it is never read as a line of its own, not even when it looks like a record.
TEST(TableBoundaries, RecordsSameWhereverCut) {
    expectSameWhereverCut(table({"STR;MP01;STR;fake;", "str;;empty;", "CAS;x;2101;", "STR;MP_3;c;"}),
                          {"MP01", "", "MP_3"});
}

// A damaged or unusual table: a record without a second ';' and lines far
// longer than the reader's buffer. Neither may hide the lines after them.
TEST(TableMalformed, RecordWithoutSecondSeparatorHandsOverRestOfLine) {
    std::string text = table({"STR;Bare", "STR;Next;x;", "STR;", "STR;Last;"});
    EXPECT_EQ(readWhole(text).mountPoints, (Names{"Bare", "Next", "", "Last"}));
    expectSameWhereverCut(text, {"Bare", "Next", "", "Last"});
}

TEST(TableMalformed, RecordWithoutSecondSeparatorBeforeEndMarker) {
    std::string text = "SOURCETABLE 200 OK\nSTR;Bare\nENDSOURCETABLE\nSTR;late;\n";
    expectSameWhereverCut(text, {"Bare"});
}

TEST(TableMalformed, LongLineSkippedAndReadingGoesOn) {
    std::string text = table({"STR;A;x;", "CAS;" + std::string(10000, 'x'), "STR;" + std::string(9000, 'y'),
                              "STR;B;x;"});
    for (size_t size : {1u, 7u, 1000u, 4095u, 5000u}) {
        Reading reading = readInBlocks(text, {size});
        EXPECT_EQ(reading.mountPoints, (Names{"A", "B"})) << "blocks of " << size;
        EXPECT_EQ(reading.progress, kTableEnded);
    }
}

TEST(TableMalformed, LongRecordWithEarlySeparatorStillHandedOver) {
    std::string text = table({"STR;Early;" + std::string(9000, 'z') + ";", "STR;Next;x;"});
    for (size_t size : {1u, 13u, 4095u})
        EXPECT_EQ(readInBlocks(text, {size}).mountPoints, (Names{"Early", "Next"})) << size;
}

TEST(TableMalformed, DecidingByteMustLieWithinTheKeptLineBytes) {
    // Index of the separator within its line: 4094 is the last byte kept.
    std::string fits = "STR;" + std::string(kKeptLineBytes - 1 - 4, 'm');
    std::string tooLong = fits + "n";
    for (size_t size : {1u, 100u, 4095u}) {
        std::vector<size_t> blocks = {size};
        EXPECT_EQ(readInBlocks(table({fits + ";tail;", "STR;N;"}), blocks).mountPoints,
                  (Names{fits.substr(4), "N"}));
        EXPECT_EQ(readInBlocks(table({tooLong + ";tail;", "STR;N;"}), blocks).mountPoints,
                  (Names{"N"}));
        // Without a separator the line end decides.
        EXPECT_EQ(readInBlocks(table({fits, "STR;N;"}), blocks).mountPoints,
                  (Names{fits.substr(4), "N"}));
        EXPECT_EQ(readInBlocks(table({tooLong, "STR;N;"}), blocks).mountPoints, (Names{"N"}));
    }
}

TEST(TableMalformed, DecidingByteLimitHoldsWhereverTheLineStarts) {
    // The long record starts late in a block, so it is carried to the front
    // before it can be completed.
    std::string fits = "STR;" + std::string(kKeptLineBytes - 1 - 4, 'm');
    std::string text = table({"CAS;" + std::string(3000, 'c'), fits + ";", "STR;N;"});
    for (size_t size : {3100u, 4000u, 4095u})
        EXPECT_EQ(readInBlocks(text, {size}).mountPoints, (Names{fits.substr(4), "N"})) << size;
}

// Casters that end lines differently: LF alone (Unix-born casters), CR alone
// (old Mac-born tools), and NUL bytes, which end a line as well so that the
// meaning of the text never depends on where a block ended.
TEST(TableLineEnds, LineFeedOnly) {
    std::string text = table({"Server: x", "", "STR;A;x;", "STR;B;x;"}, "\n");
    expectSameWhereverCut(text, {"A", "B"});
}

TEST(TableLineEnds, CarriageReturnOnly) {
    std::string text = table({"Server: x", "", "STR;A;x;", "STR;B", "STR;C;x;"}, "\r");
    expectSameWhereverCut(text, {"A", "B", "C"});
}

TEST(TableLineEnds, NulEndsALine) {
    const char raw[] = "SOURCETABLE 200 OK\0STR;A;x;\0STR;B\0\0STR;C;\r\nENDSOURCETABLE\0STR;D;";
    std::string text(raw, sizeof raw - 1);
    expectSameWhereverCut(text, {"A", "B", "C"});
}

// A large caster (thousands of mount points) read through receives of
// every size, as a busy link delivers them.
TEST(TableLarge, ThousandsOfRecordsInRandomBlocks) {
    std::string text = "SOURCETABLE 200 OK\r\nServer: big\r\n\r\nCAS;big.example;2101;x;\r\n";
    Names expected;
    std::mt19937 names(7);
    for (int record = 0; record < 6000; ++record) {
        std::string name = "MP" + std::to_string(record) + std::string(names() % 40, 'a' + record % 26);
        expected.push_back(name);
        text += (record % 5 == 0 ? "str;" : "STR;") + name +
                ";Identifier;RTCM 3.2;1004(1),1012(1);2;GLO+GPS;NET;DEU;52.52;13.40;1;0;sNTRIP;none;B;N;"
                "5000;\r\n";
        if (record % 500 == 0)
            text += "NET;net" + std::to_string(record) + ";x;B;N;\r\n";
    }
    text += "ENDSOURCETABLE\r\n";
    for (unsigned seed : {1u, 2u, 3u, 4u, 5u}) {
        std::mt19937 random(seed);
        std::vector<size_t> sizes;
        for (int i = 0; i < 4000; ++i)
            sizes.push_back(i % 3 == 0 ? 1 + random() % 16 : 1 + random() % 6000);
        Reading reading = readInBlocks(text, sizes);
        EXPECT_EQ(reading.progress, kTableEnded) << "seed " << seed;
        ASSERT_EQ(reading.mountPoints.size(), expected.size()) << "seed " << seed;
        EXPECT_EQ(reading.mountPoints, expected) << "seed " << seed;
        EXPECT_EQ(reading.count, (int)expected.size());
    }
}

// A host that, from inside its callback, reads another table (for example a
// second caster's list) with a reader of its own: the readers keep no
// shared state, so neither disturbs the other.
namespace {
thread_local Names *innerResults = nullptr;

void VELTO_CALL collectAndReadAnother(char *mountPoint) {
    std::string name = mountPoint;
    collectMountPoint(mountPoint);
    Reading inner = readInBlocks(table({"STR;in-" + name + ";x;", "STR;in2;"}), {5});
    innerResults->insert(innerResults->end(), inner.mountPoints.begin(), inner.mountPoints.end());
}
} // namespace

TEST(TableReentrancy, CallbackReadsAnotherTable) {
    Names inner;
    innerResults = &inner;
    Reading outer = readInBlocks(table({"STR;A;x;", "STR;B", "STR;C;x;"}), {3}, collectAndReadAnother);
    innerResults = nullptr;
    EXPECT_EQ(outer.mountPoints, (Names{"A", "B", "C"}));
    EXPECT_EQ(outer.count, 3);
    EXPECT_EQ(inner, (Names{"in-A", "in2", "in-B", "in2", "in-C", "in2"}));
}
