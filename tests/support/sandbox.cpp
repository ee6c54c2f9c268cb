#include "sandbox.h"

#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#ifndef VELTO_CASTER_HOST
#define VELTO_CASTER_HOST "localhost"
#endif

namespace {

const char kHostsPath[] = "/etc/hosts";
bool sandboxed = false;
// ctest counts this exit status as a skipped test.
const int kSkipExitCode = 77;

// Without namespaces the host's own name service and loopback are in use,
// and a test must not change them.
void requireSandbox(const char *what) {
    if (sandboxed)
        return;
    fprintf(stderr, "SKIPPED: %s needs a private network namespace\n", what);
    fflush(stderr);
    _exit(kSkipExitCode);
}

void fail(const char *what) {
    fprintf(stderr, "sandbox: %s: %s (tests need root or user namespaces)\n", what,
            strerror(errno));
    exit(2);
}

void writeFile(const std::string &path, const std::string &content) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        fail("open");
    if (write(fd, content.data(), content.size()) != (ssize_t)content.size())
        fail("write");
    close(fd);
}

std::string makeTempFile(const char *stem, const std::string &content) {
    char path[] = "/tmp/velto-sandbox-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        fail(stem);
    close(fd);
    writeFile(path, content);
    return path;
}

// The temporary file is unlinked once mounted: the mount keeps it alive
// for this process alone and nothing is left behind in /tmp.
void bindOver(const std::string &source, const char *target) {
    if (mount(source.c_str(), target, "none", MS_BIND, NULL) != 0)
        fail(target);
    unlink(source.c_str());
}

void setInterfaceFlag(const char *name, bool up) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq request;
    memset(&request, 0, sizeof request);
    strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    if (ioctl(fd, SIOCGIFFLAGS, &request) != 0)
        fail("SIOCGIFFLAGS");
    if (up)
        request.ifr_flags |= IFF_UP;
    else
        request.ifr_flags &= ~IFF_UP;
    if (ioctl(fd, SIOCSIFFLAGS, &request) != 0)
        fail("SIOCSIFFLAGS");
    close(fd);
}

} // namespace

const char *casterHostName() { return VELTO_CASTER_HOST; }

void enterSandbox() {
    int flags = CLONE_NEWNET | CLONE_NEWNS;
    if (getuid() != 0)
        flags |= CLONE_NEWUSER;
    if (unshare(flags) != 0) {
        fprintf(stderr, "sandbox: no private namespaces (%s); running on the host loopback, "
                        "tests must run one at a time\n", strerror(errno));
        return;
    }
    sandboxed = true;
    // Keep our bind mounts private to this process.
    mount("none", "/", "none", MS_REC | MS_PRIVATE, NULL);
    setInterfaceFlag("lo", true);
    // Files only: name lookups never leave the machine and fail at once.
    bindOver(makeTempFile("nsswitch", "hosts: files\n"), "/etc/nsswitch.conf");
    bindOver(makeTempFile("hosts", ""), kHostsPath);
    setCasterAddress("127.0.0.1");
}

bool sandboxActive() { return sandboxed; }

void setCasterAddress(const std::string &ipv4) {
    requireSandbox("changing the caster's address");
    std::string content;
    if (!ipv4.empty())
        content = ipv4 + " " + casterHostName() + "\n";
    writeFile(kHostsPath, content);
}

// Taking the interface down is not enough on every kernel: the local routes
// of 127.0.0.0/8 can survive it, and a connect then hangs instead of
// failing. Removing the address makes the network unreachable for sure.
void setLoopbackUp(bool up) {
    requireSandbox("taking loopback down");
    if (up) {
        setInterfaceFlag("lo", true);
        if (system("ip addr show dev lo | grep -q 'inet 127.0.0.1/' || "
                   "ip addr add 127.0.0.1/8 dev lo") != 0)
            fail("loopback address");
    } else {
        setInterfaceFlag("lo", false);
        if (system("ip addr flush dev lo") != 0)
            fail("loopback address");
    }
}

void addBlackholeNet() {
    requireSandbox("a black-hole network");
    if (system("ip link add velto0 type dummy && ip addr add 192.0.2.1/24 dev velto0 && "
               "ip link set velto0 up") != 0)
        fail("dummy interface");
}
