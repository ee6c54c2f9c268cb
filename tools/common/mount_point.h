// Mount-point names as both tools accept them, so that velto-caster serves
// every name velto can ask for.
#ifndef VELTO_TOOLS_MOUNT_POINT_H
#define VELTO_TOOLS_MOUNT_POINT_H

#include <string>

namespace mount_point {

// NTRIP mount points are non-empty printable ASCII without spaces. The
// library puts the name verbatim into its request line, so a space, CR or LF
// would let a name add words or header lines to the request.
inline bool valid(const std::string &name) {
    if (name.empty())
        return false;
    for (unsigned char c : name)
        if (c < 0x21 || c > 0x7E)
            return false;
    return true;
}

} // namespace mount_point

#endif
