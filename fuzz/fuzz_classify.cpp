// Fuzzes the classification of a caster's first answer block. The block is
// at most 2048 bytes with a terminator behind it, exactly as the client
// thread hands it over; the copy is just large enough, so that any read
// past the terminator shows up as an overflow.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "ntrip.h"

namespace {
const size_t kAnswerLimit = 2048;

bool isStatusCode(int result) {
    return result == VELTO_STATUS_STREAMING || result == VELTO_STATUS_NOT_FOUND ||
           result == VELTO_STATUS_UNAUTHORISED || result == VELTO_STATUS_NOT_IMPLEMENTED ||
           result == VELTO_STATUS_UNRESOLVED;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t length = size < kAnswerLimit ? size : kAnswerLimit;
    char *answer = static_cast<char *>(malloc(length + 1));
    memcpy(answer, data, length);
    answer[length] = '\0';
    if (!isStatusCode(parserNtrip(answer)))
        abort();
    free(answer);
    return 0;
}
