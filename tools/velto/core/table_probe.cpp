#include "core/table_probe.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

using Clock = std::chrono::steady_clock;

namespace {

// The same request the library sends for the table, so the caster cannot
// answer the probe differently.
const char kTableRequest[] = "GET / HTTP/1.1\r\nUser-Agent: NTRIP Client 1.0\r\n"
                             "Connection: close\r\n\r\n";
const int kConnectMs = 8000;
const int kAnswerMs = 8000;
// However little time is left of the look-up's, the probe gets this much.
const int kLeastProbeMs = 1000;
const size_t kEnoughBytes = 65536;
// The library reads the table in blocks of 4095 bytes; a longer line is
// never read as a record.
const size_t kLongestLine = 4095;

int millisecondsLeft(Clock::time_point deadline, int most) {
    long long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < kLeastProbeMs ? kLeastProbeMs : (left > most ? most : (int)left);
}

int connectWithin(const sockaddr_in &address, int timeoutMs, std::string *error) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = strerror(errno);
        return -1;
    }
    if (connect(fd, (const sockaddr *)&address, sizeof address) != 0 && errno != EINPROGRESS) {
        *error = strerror(errno);
        close(fd);
        return -1;
    }
    pollfd watched = {fd, POLLOUT, 0};
    int pending = 0;
    socklen_t length = sizeof pending;
    if (poll(&watched, 1, timeoutMs) <= 0) {
        *error = "no connection within " + std::to_string((timeoutMs + 999) / 1000) + " s";
    } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) != 0 || pending != 0) {
        *error = strerror(pending != 0 ? pending : errno);
    } else {
        return fd;
    }
    close(fd);
    return -1;
}

// Reads until the caster closes, the table ends, the time is up or enough
// has come to judge it. *ended: closed by the caster, or the end marker in.
std::string readAnswer(int fd, int timeoutMs, bool *ended) {
    std::string answer;
    *ended = false;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (answer.size() < kEnoughBytes) {
        if (answer.find("ENDSOURCETABLE") != std::string::npos) {
            *ended = true;
            break;
        }
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd watched = {fd, POLLIN, 0};
        if (left <= 0 || poll(&watched, 1, left) <= 0)
            break;
        char block[4096];
        ssize_t got = recv(fd, block, sizeof block, 0);
        if (got <= 0) {
            *ended = got == 0;
            break;
        }
        answer.append(block, (size_t)got);
    }
    return answer;
}

bool hasRecord(const std::string &answer) {
    size_t at = 0;
    while ((at = answer.find("STR;", at)) != std::string::npos) {
        if (at == 0 || answer[at - 1] == '\n' || answer[at - 1] == '\r')
            return true;
        at += 4;
    }
    return false;
}

size_t longestLine(const std::string &text) {
    size_t longest = 0, at = 0;
    while (at < text.size()) {
        size_t end = text.find_first_of("\r\n", at);
        if (end == std::string::npos)
            end = text.size();
        longest = std::max(longest, end - at);
        at = end + 1;
    }
    return longest;
}

} // namespace

TableProbe classifyTable(const std::string &answer, bool ended, std::string *detail) {
    if (hasRecord(answer))
        return TableProbe::HasRecords;
    if (longestLine(answer) > kLongestLine) {
        *detail = "a line of more than " + std::to_string(kLongestLine) + " bytes";
        return TableProbe::Malformed;
    }
    if (!ended && answer.size() >= kEnoughBytes) {
        *detail = std::to_string(kEnoughBytes / 1024) + " KiB without a record or an end";
        return TableProbe::Malformed;
    }
    return TableProbe::EmptyTable;
}

ProbeResult probeSourceTable(const char *host, int port, Clock::time_point deadline) {
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET; // the library speaks IPv4 only
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    int failure = getaddrinfo(host, nullptr, &hints, &found);
    if (failure != 0 || found == nullptr)
        return {TableProbe::NotResolved, gai_strerror(failure)};
    sockaddr_in address;
    memcpy(&address, found->ai_addr, sizeof address);
    freeaddrinfo(found);
    address.sin_port = htons((uint16_t)port);

    std::string error;
    int fd = connectWithin(address, millisecondsLeft(deadline, kConnectMs), &error);
    if (fd < 0)
        return {TableProbe::NotReached, error};
    ssize_t ignored = send(fd, kTableRequest, sizeof kTableRequest - 1, MSG_NOSIGNAL);
    (void)ignored; // a request that did not go out shows as a missing answer
    bool ended = false;
    std::string answer = readAnswer(fd, millisecondsLeft(deadline, kAnswerMs), &ended);
    close(fd);

    std::string firstLine = answer.substr(0, answer.find_first_of("\r\n"));
    if (firstLine.size() > 120)
        firstLine.resize(120);
    if (strncasecmp(answer.c_str(), "SOURCETABLE 200 OK", 18) != 0)
        return {TableProbe::NotATable, firstLine};
    std::string detail = firstLine;
    TableProbe outcome = classifyTable(answer, ended, &detail);
    return {outcome, detail};
}
