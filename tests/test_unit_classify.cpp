#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ntrip.h"
#include "velto.h"

namespace {

const int kAccepted = VELTO_STATUS_STREAMING;
const int kNotFound = VELTO_STATUS_NOT_FOUND;
const int kUnauthorised = VELTO_STATUS_UNAUTHORISED;
const int kNotImplemented = VELTO_STATUS_NOT_IMPLEMENTED;
const int kUnrecognised = VELTO_STATUS_UNRESOLVED;

// Classifies a modifiable copy of the answer, allocated to its exact size
// plus the terminator the client thread writes, so that a sanitizer build
// catches any read past the answer.
int classify(const std::string &answer) {
    std::unique_ptr<char[]> copy(new char[answer.size() + 1]);
    memcpy(copy.get(), answer.data(), answer.size());
    copy[answer.size()] = '\0';
    return parserNtrip(copy.get());
}

struct Case {
    const char *name;
    std::string answer;
    int expected;
};

std::string withNul(const char *before, const char *after) {
    std::string text(before);
    text.push_back('\0');
    text.append(after);
    return text;
}

// Every kind of answer in one table: the single-thread checks and the
// concurrent run below use the same cases.
std::vector<Case> allCases() {
    return {
        {"icy", "ICY 200 OK\r\n\r\n", kAccepted},
        {"icy lower case", "icy 200 ok\r\n\r\n", kAccepted},
        {"icy mixed case", "IcY 200 oK\r\n", kAccepted},
        {"icy line continues", "ICY 200 OKAY and more\r\n", kAccepted},
        {"icy without line end", "ICY 200 OK", kAccepted},
        {"http 1.1 with headers", "HTTP/1.1 200 OK\r\nServer: NTRIP Caster\r\nContent-Type: gnss/data\r\n\r\n",
         kAccepted},
        {"http 1.0 lower case", "http/1.0 200 OK\r\n\r\n", kAccepted},
        {"two spaces before 200", "HTTP/1.1  200 OK\r\n\r\n", kAccepted},
        {"tab before 200", "HTTP/1.1 \t200 OK\r\n", kAccepted},
        {"200 at the very end", "HTTP/1.1 200", kAccepted},
        {"401", "HTTP/1.1 401 Unauthorized\r\n\r\n", kUnauthorised},
        {"404", "HTTP/1.1 404 Not Found\r\n\r\n", kNotFound},
        {"501", "HTTP/1.1 501 Not Implemented\r\n\r\n", kNotImplemented},
        {"403", "HTTP/1.1 403 Forbidden\r\n\r\n", kUnrecognised},
        {"500", "HTTP/1.1 500 Internal Server Error\r\n\r\n", kUnrecognised},
        {"404 with a trailing digit", "HTTP/1.1 4041\r\n", kUnrecognised},
        {"source table", "SOURCETABLE 200 OK\r\nServer: x\r\n\r\nSTR;MP01x;\r\n", kNotFound},
        {"source table lower case", "sourcetable 200 ok\r\n", kNotFound},
        {"icy then 404", "ICY 200 OK\r\nHTTP/1.1 404 Not Found\r\n", kNotFound},
        {"404 then icy", "HTTP/1.1 404 Not Found\r\nICY 200 OK\r\n", kNotFound},
        {"401 after 200", "HTTP/1.1 200 OK\r\nHTTP/1.1 401 Unauthorized\r\n", kUnauthorised},
        {"200 then 500", "HTTP/1.1 200 OK\r\nHTTP/1.1 500 Error\r\n", kAccepted},
        {"icy then 403", "ICY 200 OK\r\nHTTP/1.1 403 Forbidden\r\n", kAccepted},
        {"icy then source table", "ICY 200 OK\r\nSOURCETABLE 200 OK\r\n", kNotFound},
        {"200 then source table", "HTTP/1.1 200 OK\r\nSOURCETABLE 200 OK\r\n", kNotFound},
        {"http/2 reads 0", "HTTP/2 200\r\n\r\n", kUnrecognised},
        {"http/2 404 reads 4", "HTTP/2 404 Not Found\r\n", kUnrecognised},
        {"cr only", "HTTP/1.1 403 Forbidden\rICY 200 OK\r", kAccepted},
        {"lf only", "HTTP/1.1 403 Forbidden\nICY 200 OK\n", kAccepted},
        {"cr only deciding", "ICY 200 OK\rHTTP/1.1 401 Unauthorized\r", kUnauthorised},
        {"lf only deciding", "ICY 200 OK\nHTTP/1.1 404 Not Found\n", kNotFound},
        {"mixed runs of breaks", "\n\r\r\nICY 200 OK\n\n\r\r\r\nHTTP/1.1 501 x\r\n", kNotImplemented},
        {"only line breaks", "\r\n\r\n\n\r\r\n", kUnrecognised},
        {"single cr", "\r", kUnrecognised},
        {"nothing", "", kUnrecognised},
        {"nul hides a 404", withNul("ICY 200 OK\r\n", "HTTP/1.1 404 Not Found\r\n"), kAccepted},
        {"nul hides a success", withNul("HTTP/1.1 403 Forbidden\r\n", "ICY 200 OK\r\n"), kUnrecognised},
        {"nul inside the keyword", withNul("ICY 200", " OK\r\n"), kUnrecognised},
        {"nul inside the number", withNul("HTTP/1.1 40", "1\r\n"), kUnrecognised},
        {"leading space before icy", " ICY 200 OK\r\n", kUnrecognised},
        {"leading tab before 404", "ICY 200 OK\r\n\tHTTP/1.1 404 Not Found\r\n", kAccepted},
        {"leading space before source table", "ICY 200 OK\r\n SOURCETABLE 200 OK\r\n", kAccepted},
        {"server header", "ICY 200 OK\r\nServer: NTRIP Caster 2.0\r\n", kAccepted},
        {"other letters", "Host: x\r\nhttp 200\r\nICY 404\r\nSOURCETABLE 404\r\n", kUnrecognised},
        {"short http line", "HTTP/1\nab401\n", kUnrecognised},
        {"short http line before 404 line", "HTTP/1.1\n404\r\n", kUnrecognised},
        {"short http line, 401 after breaks", "HTTP/1\r\n\r\n401 x\r\n", kUnrecognised},
        {"short http line then success", "HTTP/1.1\r\nICY 200 OK\r\n", kAccepted},
        {"short http line at the end", "ICY 200 OK\r\nHTTP/1", kAccepted},
    };
}

void expectCase(const Case &c) {
    EXPECT_EQ(classify(c.answer), c.expected) << "case \"" << c.name << "\"";
}

const Case &findCase(const char *name) {
    static const std::vector<Case> cases = allCases();
    for (const Case &c : cases)
        if (std::string(c.name) == name)
            return c;
    ADD_FAILURE() << "no case " << name;
    return cases.front();
}

void expectCases(std::initializer_list<const char *> names) {
    for (const char *name : names)
        expectCase(findCase(name));
}

} // namespace

// A caster accepts a receiver with "ICY 200 OK" (NTRIP 1) or an HTTP status
// line with 200 (NTRIP 2), in whatever letter case its software writes. A
// success that reads as a failure leaves a working receiver without
// corrections, retrying every half minute for ever.

TEST(ClassifySuccess, IcyInAnyCaseAndContinuing) {
    expectCases({"icy", "icy lower case", "icy mixed case", "icy line continues",
                 "icy without line end"});
}

TEST(ClassifySuccess, HttpStatusLineWith200) {
    expectCases({"http 1.1 with headers", "http 1.0 lower case", "two spaces before 200",
                 "tab before 200", "200 at the very end"});
}

// A refusal tells the operator what to fix: the credential (401), the mount
// point (404, or a caster that answers with its table instead of a stream),
// or the caster's protocol (501). Anything else is simply not understood.

TEST(ClassifyRefusal, KnownStatusNumbers) {
    expectCases({"401", "404", "501"});
}

TEST(ClassifyRefusal, OtherStatusNumbersAreNotRecognised) {
    expectCases({"403", "500", "404 with a trailing digit"});
}

TEST(ClassifyRefusal, SourceTableMeansMountPointNotFound) {
    expectCases({"source table", "source table lower case"});
}

// Casters put several lines into their first packet; a deciding line wins
// wherever it stands, a success line only holds when nothing decides.

TEST(ClassifyPrecedence, DecidingLineWinsOverSuccess) {
    expectCases({"icy then 404", "404 then icy", "401 after 200", "icy then source table",
                 "200 then source table"});
}

TEST(ClassifyPrecedence, UnknownStatusAfterSuccessChangesNothing) {
    expectCases({"200 then 500", "icy then 403"});
}

// The status number is read at a fixed column, as HTTP/1.x lays it out. An
// HTTP/2 style line puts something else there.

TEST(ClassifyStatusColumn, Http2LineReadsTheFinalZero) {
    expectCases({"http/2 reads 0", "http/2 404 reads 4"});
}

// Casters and proxies end lines with CR LF, LF or CR alone, and some send
// stray empty lines; all of them split lines alike.

TEST(ClassifyLines, CrOnlyAndLfOnlyLineEnds) {
    expectCases({"cr only", "lf only", "cr only deciding", "lf only deciding",
                 "mixed runs of breaks"});
}

TEST(ClassifyLines, AnswerOfOnlyLineBreaksIsNotRecognised) {
    expectCases({"only line breaks", "single cr", "nothing"});
}

// Stream bytes often follow the header in the same packet, and binary data
// may hold a zero byte: the text ends there, whatever follows it.

TEST(ClassifyLines, NulEndsTheText) {
    expectCases({"nul hides a 404", "nul hides a success", "nul inside the keyword",
                 "nul inside the number"});
}

TEST(ClassifyLines, OnlyTheStartOfALineCounts) {
    expectCases({"leading space before icy", "leading tab before 404",
                 "leading space before source table", "server header", "other letters"});
}

// A truncated or garbled status line ("HTTP/1" and a break) has no status
// number. Reading on into the next line would take a number from there,
// from a header or from stream bytes, and refuse a caster for nothing.

TEST(ClassifyShortStatusLine, HasNoEffectAndReadsNothingBeyondIt) {
    expectCases({"short http line", "short http line before 404 line",
                 "short http line, 401 after breaks",
                 "short http line then success", "short http line at the end"});
}

// The client receives up to 2048 bytes and writes its terminator into a
// spare byte after them; a deciding line may stand at the very end.

TEST(ClassifyFullBlock, DecidingLineAtTheEndOfA2048ByteAnswer) {
    std::string tail = "\r\nHTTP/1.1 401 Unauthorized";
    std::string answer = "ICY 200 OK\r\nServer: filler ";
    answer.append(2048 - answer.size() - tail.size(), 'x');
    answer += tail;
    ASSERT_EQ(answer.size(), 2048u);
    EXPECT_EQ(classify(answer), kUnauthorised);
}

TEST(ClassifyFullBlock, SuccessFollowedByStreamBytesFillingTheBlock) {
    std::string answer = "ICY 200 OK\r\n\r\n";
    for (int i = 0; answer.size() < 2048; ++i)
        answer.push_back((char)(1 + (i * 37) % 255)); // binary, but without zero bytes
    EXPECT_EQ(classify(answer), kAccepted);
}

TEST(ClassifyFullBlock, OneUnbrokenLineIsNotRecognised) {
    EXPECT_EQ(classify(std::string(2048, 'x')), kUnrecognised);
    EXPECT_EQ(classify("HTTP/1.1 99" + std::string(2048 - 11, '9')), kUnrecognised);
}

// Every client thread classifies its caster's answer at its own moment, so
// many classifications run side by side. Any position or buffer shared
// between calls would mix lines of one answer into another's.

TEST(ClassifyConcurrently, ManyThreadsGiveTheSameAnswers) {
    const int kThreads = 8;
    const int kRounds = 20000;
    const std::vector<Case> cases = allCases();
    std::atomic<int> mismatches(0);
    std::mutex gate;
    std::condition_variable opened;
    bool go = false;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            {
                std::unique_lock<std::mutex> hold(gate);
                opened.wait(hold, [&] { return go; });
            }
            // Each thread walks the table from a different place, so that
            // different answers are in flight at the same moment.
            for (int round = 0; round < kRounds; ++round)
                for (size_t i = 0; i < cases.size(); ++i) {
                    const Case &c = cases[(i + (size_t)t * 7) % cases.size()];
                    if (classify(c.answer) != c.expected)
                        ++mismatches;
                }
        });
    }
    {
        std::lock_guard<std::mutex> hold(gate);
        go = true;
    }
    opened.notify_all();
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}
