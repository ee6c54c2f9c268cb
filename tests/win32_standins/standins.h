// What the recording Win32 stand-ins saw, for the test that reads it. Plain
// C++ on purpose: the test itself is built for Linux, only the library's
// client code is built as for Windows.
#ifndef VELTO_STANDINS_H
#define VELTO_STANDINS_H

#include <string>
#include <vector>

// The calls made so far that matter to a teardown, in order, in words such
// as "TerminateThread(client thread)" or "closesocket(caster link)", and the
// moment a terminated thread has really stopped ("client thread ended").
std::vector<std::string> standinCalls();

#endif
