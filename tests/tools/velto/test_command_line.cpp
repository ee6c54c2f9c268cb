// velto's command line as a supervisor's unit file or a script writes it:
// the options stream and monitor share, read one way whatever their form;
// every value velto cannot use refused with exit status 2 before anything
// starts; and the exit statuses the help lists, in the order in which the
// worst ending of several mount points picks them.
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands.h"
#include "shared_options.h"
#include "stream_options.h"

namespace {

// A command line as main() passes it on: the words after the command.
class Words {
public:
    Words(std::initializer_list<const char *> words) : words_(words.begin(), words.end()) {}
    int argc() const { return (int)words_.size(); }
    char **argv() {
        argv_.clear();
        for (std::string &word : words_)
            argv_.push_back(&word[0]);
        return argv_.data();
    }

private:
    std::vector<std::string> words_;
    std::vector<char *> argv_;
};

RunOptions shared(Words words) {
    RunOptions options;
    int argc = words.argc();
    OptionReader in("stream ", argc, words.argv());
    while (in.next())
        if (!readSharedOption(in, &options))
            in.unknown();
    finishSharedOptions(in, &options);
    return options;
}

StreamOptions stream(Words words) {
    int argc = words.argc();
    return parseStreamOptions(argc, words.argv());
}

TEST(SharedOptions, EveryFormReadsTheSame) {
    RunOptions options = shared({"A", "--client=7", "--duration", "1.5", "--outage-after=4", "--leap-seconds",
                                 "17", "--retry-refused", "--interval=2", "--json", "-", "-q", "--", "-B"});
    EXPECT_EQ(options.mounts, (std::vector<std::string>{"A", "-B"}));
    EXPECT_EQ(options.client, 7);
    EXPECT_DOUBLE_EQ(options.duration, 1.5);
    EXPECT_DOUBLE_EQ(options.analysis.outageAfterSeconds, 4);
    EXPECT_EQ(options.analysis.leapSeconds, 17);
    EXPECT_TRUE(options.retryRefused);
    EXPECT_DOUBLE_EQ(options.interval, 2);
    EXPECT_EQ(options.json, "-");
    EXPECT_EQ(options.verbosity, Verbosity::Quiet);
    EXPECT_EQ(shared({"A", "-v"}).verbosity, Verbosity::Verbose);
    EXPECT_EQ(shared({"A", "--client", "0"}).client, 0);
    EXPECT_EQ(shared({"A", "--client", "2147483647"}).client, 2147483647);
}

// Each is a usage error: exit 2, the reason, and a pointer to the help.
TEST(SharedOptionsDeathTest, RefusedBeforeAnythingStarts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        Words words;
        const char *says;
    } refused[] = {
        {{}, "needs at least one mount point"},
        {{"A", "--client", "-1"}, "--client wants a whole number from 0 to 2147483647"},
        {{"A", "--client=2147483648"}, "--client wants"},
        {{"A", "--client", "7x"}, "--client wants"},
        {{"A", "--duration", "0"}, "--duration wants seconds above 0"},
        {{"A", "--interval=nan"}, "--interval wants seconds above 0"},
        {{"A", "--outage-after", "1e9"}, "--outage-after wants seconds above 0"},
        {{"A", "--leap-seconds", "100"}, "--leap-seconds wants a whole number from 0 to 99"},
        {{"A B"}, "'A B' is not a mount point"},
        {{"A\r\nX: y"}, "is not a mount point"},
        {{"A", "A"}, "mount point A is given twice"},
        {{"A", "-q", "-v"}, "--quiet and --verbose exclude one another"},
        {{"A", "--retry-refused=yes"}, "--retry-refused takes no value"},
        {{"A", "--json"}, "--json needs a value"},
        {{"A", "--json="}, "--json needs a file name"},
        {{"A", "--frob"}, "unknown option '--frob'"},
    };
    for (const auto &each : refused) {
        Words words = each.words;
        EXPECT_EXIT(shared(words), testing::ExitedWithCode(kExitUsage),
                    std::string(each.says) + ".*see velto stream --help");
    }
}

TEST(StreamOptions, WhereTheBytesGo) {
    StreamOptions options = stream({"A", "B", "--output", "data-%m.rtcm", "--json", "-"});
    EXPECT_EQ(options.outputFor("B"), "data-B.rtcm");
    EXPECT_EQ(stream({"A", "--output-dir", "d"}).outputFor("A"), "d/A");
    EXPECT_EQ(stream({"A", "B", "--no-data"}).outputFor("A"), "");
    EXPECT_EQ(stream({"A", "--output", "-", "--no-live", "--force"}).live, 0);
}

TEST(StreamOptionsDeathTest, OutputsThatCannotWork) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        Words words;
        const char *says;
    } refused[] = {
        {{"A", "B"}, "several mount points need --output-dir DIR, --output with %m, or --no-data"},
        {{"A", "B", "--output", "x.rtcm"}, "with several mount points, --output needs %m"},
        {{"A", "--output", "x%q"}, "'%' must be followed by 'm'"},
        {{"A", "--output-dir", "d", "--no-data"}, "exclude one another"},
        {{"A", "--output", "-", "--json", "-"}, "--json - needs the data in files"},
        {{"A", "--output-dir="}, "--output-dir needs a directory"},
    };
    for (const auto &each : refused) {
        Words words = each.words;
        EXPECT_EXIT(stream(words), testing::ExitedWithCode(kExitUsage), each.says);
    }
}

// The exit statuses velto stream's help lists, in its order ("the first of
// these that applies"), are those of the endings from the worst to the
// mildest: the worst ending of several mount points sets the status.
TEST(ExitStatus, HelpListsTheEndingsWorstFirst) {
    char *text = nullptr;
    size_t size = 0;
    FILE *memory = open_memstream(&text, &size);
    printStreamUsage(memory);
    fclose(memory);
    std::string help(text, size);
    free(text);

    std::vector<int> listed;
    size_t at = help.find("Exit status");
    ASSERT_NE(at, std::string::npos);
    for (at = help.find('\n', at); at != std::string::npos && at + 5 < help.size(); at = help.find('\n', at + 1)) {
        int status = 0;
        char after = 0;
        if (sscanf(help.c_str() + at + 1, " %d%c", &status, &after) == 2 && after == ' ')
            listed.push_back(status);
        if (help[at + 1] == '\n')
            break;
    }
    const Ending worstFirst[] = {Ending::OutputFailed,  Ending::RefusedAtStart, Ending::NotAuthorised,
                                 Ending::NotFound,      Ending::NotImplemented, Ending::NeverStreamed,
                                 Ending::Down,          Ending::Streaming};
    std::vector<int> expected;
    for (size_t i = 0; i < sizeof worstFirst / sizeof worstFirst[0]; ++i) {
        expected.push_back(exitStatusFor(worstFirst[i]));
        if (i > 0) {
            EXPECT_GT(worstFirst[i - 1], worstFirst[i]) << endingName(worstFirst[i]);
        }
    }
    expected.push_back(kExitUsage);
    EXPECT_EQ(listed, expected);
}

} // namespace
