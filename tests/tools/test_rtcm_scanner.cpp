// The frame counter behind `velto stream`'s live line. Its input is a byte
// stream cut into blocks wherever TCP and the library's 2048-byte receives
// happened to cut it, so it must find every frame whatever the cuts, and it
// must not be fooled by bytes that merely look like a frame.
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "checks.h"
#include "rtcm.h"

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes payloadOf(int messageNumber, size_t size, uint8_t fill) {
    Bytes payload(size, fill);
    payload[0] = (uint8_t)(messageNumber >> 4);
    payload[1] = (uint8_t)(((messageNumber & 0xF) << 4) | (fill & 0x0F));
    return payload;
}

void append(Bytes &to, const Bytes &from) { to.insert(to.end(), from.begin(), from.end()); }

// Four frames of the kinds a reference station sends; 0xD3 bytes inside the
// payloads make sure in-frame preamble look-alikes are handled.
Bytes sampleStream() {
    Bytes stream;
    append(stream, rtcm::makeFrame(payloadOf(1005, 19, 0x11)));
    append(stream, rtcm::makeFrame(payloadOf(1074, 167, 0xD3)));
    append(stream, rtcm::makeFrame(payloadOf(1084, 138, 0x5A)));
    append(stream, rtcm::makeFrame(payloadOf(1230, 12, 0xD3)));
    return stream;
}

// Group: the checksum and the frame layout agree with published values, so
// frames built by velto-caster are frames any RTCM decoder accepts.
void checksumAndLayout() {
    const char check[] = "123456789";
    CHECK(rtcm::crc24q((const uint8_t *)check, 9) == 0xCDE703);

    // Message 1005 as printed in the RTCM 3 standard's worked example.
    const uint8_t example[] = {0xD3, 0x00, 0x13, 0x3E, 0xD7, 0xD3, 0x02, 0x02, 0x98, 0x0E, 0xDE, 0xEF,
                               0x34, 0xB4, 0xBD, 0x62, 0xAC, 0x09, 0x41, 0x98, 0x6F, 0x33, 0x36, 0x0B,
                               0x98};
    rtcm::FrameScanner scanner;
    scanner.feed(example, sizeof example);
    CHECK(scanner.frames() == 1);
    CHECK(scanner.types().count(1005) == 1);
    CHECK(scanner.rejected() == 0);

    Bytes frame = rtcm::makeFrame(Bytes(example + 3, example + 3 + 0x13));
    CHECK(frame == Bytes(example, example + sizeof example));
}

// Group: one stream, every possible cut. A frame split across two blocks,
// or dribbled in one byte at a time, is still counted once.
void framesSplitAcrossBlocks() {
    Bytes stream = sampleStream();
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        rtcm::FrameScanner scanner;
        scanner.feed(stream.data(), cut);
        scanner.feed(stream.data() + cut, stream.size() - cut);
        CHECK(scanner.frames() == 4);
        CHECK(scanner.rejected() == 0);
        CHECK(scanner.typeList() == "1005 1074 1084 1230");
    }
    rtcm::FrameScanner byteByByte;
    for (uint8_t byte : stream)
        byteByByte.feed(&byte, 1);
    CHECK(byteByByte.frames() == 4);
    CHECK(byteByByte.skippedBytes() == 0);

    // Many epochs in blocks of irregular sizes, as a 2048-byte receive loop
    // sees them.
    Bytes long_;
    for (int epoch = 0; epoch < 50; ++epoch)
        append(long_, sampleStream());
    rtcm::FrameScanner irregular;
    size_t at = 0;
    for (size_t step = 1; at < long_.size(); step = step * 7 % 2049 + 1) {
        size_t size = step < long_.size() - at ? step : long_.size() - at;
        irregular.feed(long_.data() + at, size);
        at += size;
    }
    CHECK(irregular.frames() == 200);
    CHECK(irregular.types().at(1074) == 50);
    CHECK(irregular.typeCounts() == "1005x50 1074x50 1084x50 1230x50");
}

// Group: what a client sees after joining or re-joining a stream: the tail
// of a frame first, or a frame damaged in transit. The rest still counts.
void damagedAndPartialInput() {
    // Preamble look-alikes inside a damaged or partial frame are settled
    // once the length they claim has arrived; the filler stands for the
    // stream's next kilobyte.
    Bytes stream = sampleStream();
    Bytes filler(1100, 0x00);
    rtcm::FrameScanner joinedLate;
    joinedLate.feed(stream.data() + 30, stream.size() - 30); // inside the 1074 frame
    joinedLate.feed(filler.data(), filler.size());
    CHECK(joinedLate.frames() == 2);
    CHECK(joinedLate.typeList() == "1084 1230");

    Bytes damaged = stream;
    damaged[25 + 3 + 40] ^= 0x01; // one bit of the 1074 payload
    rtcm::FrameScanner scanner;
    scanner.feed(damaged.data(), damaged.size());
    scanner.feed(filler.data(), filler.size());
    CHECK(scanner.frames() == 3);
    CHECK(scanner.types().count(1074) == 0);
    CHECK(scanner.rejected() >= 1);

    // A stray preamble whose length field claims the next kilobyte must not
    // swallow the real frames inside that kilobyte.
    Bytes noisy = {0xD3, 0x03, 0xFF, 0x00};
    append(noisy, stream);
    rtcm::FrameScanner fooled;
    for (size_t i = 0; i < noisy.size(); i += 100)
        fooled.feed(noisy.data() + i, noisy.size() - i < 100 ? noisy.size() - i : 100);
    fooled.feed(filler.data(), filler.size());
    CHECK(fooled.frames() == 4);

    // A connection dropped mid-frame followed by a fresh connection's stream.
    Bytes rejoined(stream.begin(), stream.begin() + 60);
    append(rejoined, stream);
    rtcm::FrameScanner afterDrop;
    afterDrop.feed(rejoined.data(), rejoined.size());
    afterDrop.feed(filler.data(), filler.size());
    CHECK(afterDrop.frames() == 5); // the 1005 before the cut, then all four
}

// Group: the extremes the 10-bit length allows.
void lengthExtremes() {
    Bytes empty = rtcm::makeFrame(Bytes());
    CHECK(empty.size() == 6);
    Bytes full = rtcm::makeFrame(payloadOf(4094, 1023, 0xD3));
    CHECK(full.size() == 1029);
    Bytes stream = empty;
    append(stream, full);
    append(stream, empty);
    rtcm::FrameScanner scanner;
    scanner.feed(stream.data(), 1000);
    scanner.feed(stream.data() + 1000, stream.size() - 1000);
    CHECK(scanner.frames() == 3);
    CHECK(scanner.typeList() == "4094"); // empty frames carry no message number
    CHECK(scanner.rejected() == 0);

    rtcm::FrameScanner nothing;
    CHECK(nothing.typeList() == "-");
    CHECK(nothing.typeCounts() == "-");
}

} // namespace

int main() {
    checksumAndLayout();
    framesSplitAcrossBlocks();
    damagedAndPartialInput();
    lengthExtremes();
    return checkResult("rtcm scanner");
}
