// Bounds for things that must happen "at once", as opposed to after one of
// the library's own waits. On a software-emulated machine (the 32-bit suite
// runs in one) every step takes several times longer although the library
// waits no longer, so the stage that runs there names the factor in
// VELTO_TEST_SLOW_HOST and these bounds, and only these, widen by it. Bounds
// that measure the library's waits (the 8-s connect, the 30-s pause) do not.
#ifndef VELTO_TEST_SLOW_HOST_H
#define VELTO_TEST_SLOW_HOST_H

#include <stdlib.h>

inline double atOnce(double seconds) {
    const char *text = getenv("VELTO_TEST_SLOW_HOST");
    double factor = text != nullptr ? atof(text) : 1.0;
    return factor > 1.0 ? seconds * factor : seconds;
}

#endif
