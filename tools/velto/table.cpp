// velto table: the caster's mount points, and why none came back when none
// did.
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "commands.h"
#include "core/table_lookup.h"
#include "core/table_probe.h"
#include "display.h"

namespace {

void printTableUsage(FILE *to) {
    fprintf(to,
            "Usage: velto table\n"
            "Prints the mount points of the caster's source table (%s), one per line,\n"
            "in the caster's order. Bytes other than printable ASCII are printed as \\xNN\n"
            "and a backslash as \\\\, so a caster cannot send anything a terminal acts on.\n"
            "When no mount point comes back, velto connects once more by itself to\n"
            "tell why (the library gives only a count). velto takes at most %zu mount\n"
            "points (%zu MiB of names) and waits at most %.0f s in all.\n"
            "\n"
            "Exit status:\n"
            "  %2d  at least one mount point came back\n"
            "  %2d  the caster was not reached\n"
            "  %2d  the caster's name did not resolve\n"
            "  %2d  the caster answered, but not with a source table\n"
            "  %2d  the source table lists no mount point\n"
            "  %2d  the source table is too large, endless or malformed\n"
            "  %2d  the output could not be written; %d: bad usage\n"
            "\n"
            "Example:\n"
            "  velto table | grep RTCM3\n",
            kCaster, kMaxTableNames, kMaxTableNameBytes >> 20, kTableLookupSeconds, kExitStreaming,
            kExitNetwork, kExitRefusedAtStart, kExitNotATable, kExitEmptyTable, kExitTableTooLarge,
            kExitOutput, kExitUsage);
}

int explainEmptyAnswer(std::chrono::steady_clock::time_point deadline) {
    ProbeResult probe = probeSourceTable(kCasterHost, kCasterPort, deadline);
    std::string answer = display::escaped(probe.detail);
    switch (probe.outcome) {
    case TableProbe::NotResolved:
        fprintf(stderr, "velto: the caster's name %s does not resolve: %s\n", kCasterHost,
                answer.c_str());
        return kExitRefusedAtStart;
    case TableProbe::NotReached:
        fprintf(stderr, "velto: the caster %s was not reached: %s\n", kCaster, answer.c_str());
        return kExitNetwork;
    case TableProbe::NotATable:
        if (probe.detail.empty())
            fprintf(stderr, "velto: the caster %s was reached but sent no answer\n", kCaster);
        else
            fprintf(stderr, "velto: the caster %s answered, but not with a source table: \"%s\"\n",
                    kCaster, answer.c_str());
        return kExitNotATable;
    case TableProbe::Malformed:
        fprintf(stderr, "velto: the caster %s sent a source table that is malformed or too long: %s\n",
                kCaster, answer.c_str());
        return kExitTableTooLarge;
    case TableProbe::EmptyTable:
        fprintf(stderr, "velto: the caster %s sent a source table without any mount point\n",
                kCaster);
        return kExitEmptyTable;
    case TableProbe::HasRecords:
        fprintf(stderr, "velto: no mount point came back from %s, although it sent a table with "
                        "records when asked again\n",
                kCaster);
        return kExitEmptyTable;
    }
    return kExitNetwork;
}

} // namespace

int runTable(int argc, char **argv) {
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            printTableUsage(stdout);
            return 0;
        }
        usageError("table takes no argument '" + display::escaped(argv[i]) + "'", "table ");
    }
    // The library's call has no overall deadline; the look-up runs on a
    // thread of its own, which is left behind (and stopped inside the
    // library's callback) when a bound is reached.
    TableLookup lookup;
    TableLookup::Outcome outcome = lookup.wait();
    std::vector<std::string> names = lookup.names();
    if (outcome == TableLookup::Outcome::TooLarge) {
        fprintf(stderr, "velto: source table too large or endless: more than %zu mount points or %zu MiB "
                        "of names from %s\n",
                kMaxTableNames, kMaxTableNameBytes >> 20, kCaster);
        return kExitTableTooLarge;
    }
    if (outcome == TableLookup::Outcome::TimedOut) {
        fprintf(stderr, "velto: source table too large or endless: not complete after %.0f s (%zu mount "
                        "points so far) from %s\n",
                kTableLookupSeconds, names.size(), kCaster);
        return kExitTableTooLarge;
    }
    if (names.empty())
        return explainEmptyAnswer(lookup.deadline());
    for (const std::string &name : names)
        printf("%s\n", display::escaped(name).c_str());
    return fflush(stdout) != 0 || ferror(stdout) ? kExitOutput : kExitStreaming;
}
