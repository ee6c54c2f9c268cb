// Why a query of the caster's source table brought nothing back: velto's own
// look at the caster's answer, beside the library's.
#ifndef VELTO_TOOL_CORE_TABLE_PROBE_H
#define VELTO_TOOL_CORE_TABLE_PROBE_H

#include <chrono>
#include <string>

// The library only counts the mount points it found. When that count is 0,
// velto asks the caster once more over a TCP connection of its own to tell
// the reasons apart. This probe is velto's, not the library's.
enum class TableProbe {
    NotResolved, // the caster's name did not resolve
    NotReached,  // no TCP connection to port 2101
    NotATable,   // an answer, but not "SOURCETABLE 200 OK" (or nothing at all)
    EmptyTable,  // a source table without any STR record
    Malformed,   // a table the library cannot read: a line longer than its
                 // 4095-byte block, or 64 KiB without a record or an end
    HasRecords,  // a table with records this time
};

struct ProbeResult {
    TableProbe outcome;
    std::string detail; // the error, the answer's first line as received, or what is wrong
};

// Waits at most until `deadline` (and never more than 8 s for the connection
// and 8 s for the answer).
ProbeResult probeSourceTable(const char *host, int port,
                             std::chrono::steady_clock::time_point deadline);

// The same reading of an answer, for the tests: the outcome for an answer
// that began with "SOURCETABLE 200 OK" (`ended`: the caster closed it or it
// held the end marker).
TableProbe classifyTable(const std::string &answer, bool ended, std::string *detail);

#endif
