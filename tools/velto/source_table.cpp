#include "source_table.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "velto.h"

namespace {

// VeltoSourceTable's callback carries no user pointer; the callback runs on
// the calling thread, so a thread-local target keeps concurrent queries
// apart.
thread_local std::vector<std::string> *collected = nullptr;

void VELTO_CALL collectMountPoint(char *mountPoint) { collected->push_back(mountPoint); }

// The same request the library sends for the table, so the caster cannot
// answer the probe differently.
const char kTableRequest[] = "GET / HTTP/1.1\r\nUser-Agent: NTRIP Client 1.0\r\n"
                             "Connection: close\r\n\r\n";
const int kConnectMs = 8000;
const int kAnswerMs = 8000;
const size_t kEnoughBytes = 65536;

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
        *error = "no connection within 8 s";
    } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) != 0 || pending != 0) {
        *error = strerror(pending != 0 ? pending : errno);
    } else {
        return fd;
    }
    close(fd);
    return -1;
}

// Reads until the caster closes, the table ends, or the time is up.
std::string readAnswer(int fd, int timeoutMs) {
    std::string answer;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (answer.size() < kEnoughBytes && answer.find("ENDSOURCETABLE") == std::string::npos) {
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                       deadline - std::chrono::steady_clock::now())
                       .count();
        pollfd watched = {fd, POLLIN, 0};
        if (left <= 0 || poll(&watched, 1, left) <= 0)
            break;
        char block[4096];
        ssize_t got = recv(fd, block, sizeof block, 0);
        if (got <= 0)
            break;
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

} // namespace

std::vector<std::string> fetchMountPoints() {
    std::vector<std::string> names;
    collected = &names;
    VeltoSourceTable(collectMountPoint);
    collected = nullptr;
    return names;
}

ProbeResult probeSourceTable(const char *host, int port) {
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
    int fd = connectWithin(address, kConnectMs, &error);
    if (fd < 0)
        return {TableProbe::NotReached, error};
    ssize_t ignored = send(fd, kTableRequest, sizeof kTableRequest - 1, MSG_NOSIGNAL);
    (void)ignored; // a request that did not go out shows as a missing answer
    std::string answer = readAnswer(fd, kAnswerMs);
    close(fd);

    std::string firstLine = answer.substr(0, answer.find_first_of("\r\n"));
    if (firstLine.size() > 120)
        firstLine.resize(120);
    if (strncasecmp(answer.c_str(), "SOURCETABLE 200 OK", 18) != 0)
        return {TableProbe::NotATable, firstLine};
    return {hasRecord(answer) ? TableProbe::HasRecords : TableProbe::EmptyTable, firstLine};
}
