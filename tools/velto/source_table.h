// The caster's source table as velto uses it beyond the plain list: the
// names offered when a mount point was not found, and the reason why a
// query brought nothing back.
#ifndef VELTO_TOOL_SOURCE_TABLE_H
#define VELTO_TOOL_SOURCE_TABLE_H

#include <string>
#include <vector>

// The mount points of the caster's source table, through the library
// (VeltoSourceTable): blocks for up to about 8 s plus 8 s per silent receive.
std::vector<std::string> fetchMountPoints();

// The library only counts the mount points it found. When that count is 0,
// velto asks the caster once more over a TCP connection of its own to tell
// the three reasons apart. This probe is velto's, not the library's.
enum class TableProbe {
    NotResolved, // the caster's name did not resolve
    NotReached,  // no TCP connection to port 2101
    NotATable,   // an answer, but not "SOURCETABLE 200 OK" (or nothing at all)
    EmptyTable,  // a source table without any STR record
    HasRecords,  // a table with records this time
};

struct ProbeResult {
    TableProbe outcome;
    std::string detail; // the error, or the answer's first line as received
};

ProbeResult probeSourceTable(const char *host, int port);

#endif
