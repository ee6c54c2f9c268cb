// The check of the tools' test programs: a failed condition is printed with
// its place and counted, and the program goes on to its other checks.
#ifndef VELTO_TESTS_TOOLS_CHECKS_H
#define VELTO_TESTS_TOOLS_CHECKS_H

#include <stdio.h>

inline int checkFailures = 0;

#define CHECK(condition)                                                                  \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #condition); \
            ++checkFailures;                                                              \
        }                                                                                 \
    } while (0)

// What main returns: 0 when every check passed.
inline int checkResult(const char *program) {
    if (checkFailures != 0) {
        fprintf(stderr, "%s: %d check(s) failed\n", program, checkFailures);
        return 1;
    }
    printf("%s: all checks passed\n", program);
    return 0;
}

#endif
