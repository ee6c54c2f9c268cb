// One client's stream as the caster's connection loop sees it: the bytes
// that are due, and how long until more are. The synthetic station and the
// replayed file (content.h) are the two kinds.
#ifndef VELTO_CASTER_STREAM_CONTENT_H
#define VELTO_CASTER_STREAM_CONTENT_H

#include <stddef.h>
#include <stdint.h>

class StreamContent {
public:
    virtual ~StreamContent() {}

    struct Bytes {
        const uint8_t *data;
        size_t size;
    };
    // The bytes due now, at most limit of them (size 0 when none are). They
    // stay valid until the next call.
    virtual Bytes due(size_t limit) = 0;
    // Milliseconds until more bytes are due, at most cap; 0 when they are
    // due now.
    virtual int msUntilDue(int cap) = 0;
    // A replay without --loop has sent the whole file.
    virtual bool finished() const = 0;
};

#endif
