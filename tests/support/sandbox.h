// Each test process runs in network and mount namespaces of its own: a
// private loopback, so a fake caster can own port 2101 while other tests run
// in parallel, and a private /etc/hosts, so a test decides whether the
// caster's name resolves.
#ifndef VELTO_TEST_SANDBOX_H
#define VELTO_TEST_SANDBOX_H

#include <string>

// Enters the namespaces, brings loopback up and makes the caster's name
// resolve to 127.0.0.1. Call first thing in main, before any thread exists.
// When the namespaces cannot be had, tests run on the host's loopback (one
// at a time), and a test that would change name resolution or interfaces is
// skipped (exit status 77).
void enterSandbox();
bool sandboxActive();

// Rewrites the private hosts file: the caster's name resolves to ipv4, or
// does not resolve at all when ipv4 is empty.
void setCasterAddress(const std::string &ipv4);

// Brings the private loopback interface up or down (down makes a connect to
// 127.0.0.1 fail at once with ENETUNREACH).
void setLoopbackUp(bool up);

// Adds a dummy interface holding 192.0.2.1/24 inside the sandbox: packets
// sent to other addresses of that net vanish, so a connect never completes.
void addBlackholeNet();

// The caster's host name the library was built with.
const char *casterHostName();

#endif
