// velto monitor's command line, where an operator decides who can see the
// page: --listen takes a numeric address and a port and knows which
// addresses only this machine reaches (anything else is warned about), and
// what it cannot use is refused before anything listens.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands.h"
#include "monitor/options.h"

namespace {

TEST(ListenAddress, ParsedAndJudged) {
    const struct {
        const char *text;
        const char *host;
        int port;
        bool loopback, wildcard;
        const char *shown;
    } good[] = {
        {"127.0.0.1:8080", "127.0.0.1", 8080, true, false, "127.0.0.1:8080"},
        {"127.10.0.1:1", "127.10.0.1", 1, true, false, "127.10.0.1:1"},
        {"[::1]:0", "::1", 0, true, false, "[::1]:0"},
        {"localhost:65535", "localhost", 65535, true, false, "localhost:65535"},
        {"[::ffff:127.0.0.1]:80", "::ffff:127.0.0.1", 80, true, false, "[::ffff:127.0.0.1]:80"},
        {"0.0.0.0:80", "0.0.0.0", 80, false, true, "0.0.0.0:80"},
        {"[::]:80", "::", 80, false, true, "[::]:80"},
        {"192.0.2.7:8080", "192.0.2.7", 8080, false, false, "192.0.2.7:8080"},
    };
    for (const auto &each : good) {
        ListenAddress address;
        ASSERT_TRUE(parseListenAddress(each.text, &address)) << each.text;
        EXPECT_EQ(address.host, each.host);
        EXPECT_EQ(address.port, each.port);
        EXPECT_EQ(address.loopback, each.loopback) << each.text;
        EXPECT_EQ(address.wildcard(), each.wildcard) << each.text;
        EXPECT_EQ(address.text(), each.shown);
    }
    for (const char *bad : {"127.0.0.1", "127.0.0.1:", ":8080", "::1:80", "[::1]", "127.0.0.1:65536",
                            "127.0.0.1:-1", "127.0.0.1:+80", "127.0.0.1:80x", "monitor.example:80", "[::1:80"}) {
        ListenAddress address;
        EXPECT_FALSE(parseListenAddress(bad, &address)) << bad;
    }
}

MonitorOptions monitor(std::vector<std::string> words) {
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(&word[0]);
    return parseMonitorOptions((int)argv.size(), argv.data());
}

TEST(MonitorOptions, BytesKeptOnlyInADirectory) {
    MonitorOptions options = monitor({"A", "--listen", "[::1]:9000", "--allow-host", "monitor.example"});
    EXPECT_EQ(options.outputFor("A"), "");
    EXPECT_EQ(options.listen.port, 9000);
    EXPECT_EQ(options.allowHosts, std::vector<std::string>{"monitor.example"});
    EXPECT_EQ(monitor({"A/B", "--output-dir", "d"}).outputFor("A/B"), "d/A%2FB");
}

TEST(MonitorOptionsDeathTest, RefusedBeforeAnythingListens) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        std::vector<std::string> words;
        const char *says;
    } refused[] = {
        {{"A", "--listen", "monitor.example:80"}, "--listen wants ADDR:PORT with a numeric address"},
        {{"A", "--allow-host", "a b"}, "--allow-host wants a host name or a numeric address"},
        {{"A", "--allow-host", "a.example:80"}, "--allow-host wants"},
        {{"A", "--output", "x"}, "unknown option '--output'"},
        {{"A", "--client", "-1"}, "--client wants"},
    };
    for (const auto &each : refused)
        EXPECT_EXIT(monitor(each.words), testing::ExitedWithCode(kExitUsage),
                    std::string(each.says) + ".*see velto monitor --help");
}

} // namespace
