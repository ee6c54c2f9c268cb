#include "option_values.h"

#include <errno.h>
#include <stdlib.h>

#include <set>

#include "cli.h"
#include "display.h"
#include "names.h"

double positiveSeconds(const char *command, const std::string &option, const char *text) {
    char *end = NULL;
    errno = 0;
    double value = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value > 0) || value > 1e8)
        usageError(option + " wants seconds above 0, not '" + display::escaped(text) + "'", command);
    return value;
}

// The library writes the client number with %d into its request; a
// negative one would read as a different client to the caster's logs.
int clientNumber(const char *command, const char *text) {
    char *end = NULL;
    errno = 0;
    long long number = strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || number < 0 || number > 2147483647LL)
        usageError("--client wants a whole number from 0 to 2147483647, not '" +
                       display::escaped(text) + "'",
                   command);
    return (int)number;
}

// GPS time has run ahead of UTC by whole leap seconds since 1980: 18 since
// 2017. A count outside 0..99 is a typing error, not a future.
int leapSeconds(const char *command, const char *text) {
    char *end = NULL;
    errno = 0;
    long number = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || number < 0 || number > 99)
        usageError("--leap-seconds wants a whole number from 0 to 99, not '" +
                       display::escaped(text) + "'",
                   command);
    return (int)number;
}

// The library puts the name verbatim into its request line.
void checkMountPoints(const char *command, const std::vector<std::string> &mounts) {
    if (mounts.empty())
        usageError(std::string(command) + "needs at least one mount point", command);
    std::set<std::string> seen;
    for (const std::string &mount : mounts) {
        if (!names::validMountPoint(mount))
            usageError("'" + display::escaped(mount) +
                           "' is not a mount point: it must be printable ASCII without spaces",
                       command);
        if (!seen.insert(mount).second)
            usageError("mount point " + mount + " is given twice", command);
    }
}
