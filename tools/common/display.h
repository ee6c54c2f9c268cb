// Text as the tools show it to people and write it to logs: bytes that came
// from a caster, a client or the command line are never printed raw, and
// every time stamp is UTC.
#ifndef VELTO_TOOLS_DISPLAY_H
#define VELTO_TOOLS_DISPLAY_H

#include <chrono>
#include <string>

namespace display {

// Printable ASCII stays as it is; a backslash becomes "\\" and every other
// byte (controls, DEL, anything above 0x7E) becomes "\xNN". A terminal then
// acts on none of it, and the result still tells every input apart.
std::string escaped(const std::string &text);

// "2026-05-01T12:00:05.312Z": ISO 8601, UTC, milliseconds.
std::string utcTimestamp(std::chrono::system_clock::time_point when);

} // namespace display

#endif
