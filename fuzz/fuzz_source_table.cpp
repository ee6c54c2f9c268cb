// Fuzzes the source-table reader with the answer cut into blocks at
// fuzzer-chosen boundaries, and checks that it hands over exactly the mount
// points of a plain reading of the whole text, in the same order, and ends
// or refuses where that reading does.
//
// Input layout:
//   byte 0           n = 1 + byte % 8: how many block-size bytes follow
//   next n bytes     block sizes, used in turn: b < 128 gives b + 1 bytes,
//                    otherwise 128 + (b - 128) * 32 (up to 4192); a block is
//                    never larger than the room the reader offers
//   the rest         the caster's answer
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "ntrip.h"

namespace {

using Names = std::vector<std::string>;

// --- the plain reading ------------------------------------------------------
// The whole answer at once, line by line. Lines are split by CR, LF and NUL.
// The first non-empty line must begin with the status text; after it an end
// marker line ends the table, and a record line hands over the text after
// "STR;" up to the next ';' or, with no second ';', up to its line end (only
// when that line end is there). Of each line only the first 4095 bytes are
// kept, so the byte that decides a record (its second ';', or its line end)
// must lie at index 4094 of the line or before.

const char kStatusText[] = "SOURCETABLE 200 OK";
const char kEndMarker[] = "ENDSOURCETABLE";
const char kRecordPrefix[] = "STR;";
const size_t kLastKeptIndex = 4094;

struct Expectation {
    Names mountPoints;
    TableProgress progress = kTableGoOn;
};

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

// Whether the first min(length, keyword length) characters agree.
bool agreesWith(const char *line, size_t length, const char *keyword) {
    size_t keywordLength = strlen(keyword);
    size_t checked = length < keywordLength ? length : keywordLength;
    for (size_t i = 0; i < checked; ++i)
        if (asciiLower(line[i]) != asciiLower(keyword[i]))
            return false;
    return true;
}

bool beginsWith(const char *line, size_t length, const char *keyword) {
    return length >= strlen(keyword) && agreesWith(line, length, keyword);
}

bool isBreak(char c) { return c == '\r' || c == '\n' || c == '\0'; }

Expectation readPlainly(const char *text, size_t size) {
    Expectation expectation;
    bool statusSeen = false;
    size_t position = 0;
    for (;;) {
        while (position < size && isBreak(text[position]))
            ++position;
        if (position == size)
            return expectation;
        const char *line = text + position;
        size_t length = 0;
        while (position + length < size && !isBreak(line[length]))
            ++length;
        bool complete = position + length < size;
        position += length;

        if (!statusSeen) {
            // Refused once it cannot begin with the status text any more;
            // still open while a shorter first fragment might.
            if (!agreesWith(line, length, kStatusText) || (complete && length < strlen(kStatusText))) {
                expectation.progress = kTableRefused;
                return expectation;
            }
            if (length < strlen(kStatusText))
                return expectation;
            statusSeen = true;
            continue;
        }
        if (beginsWith(line, length, kEndMarker)) {
            expectation.progress = kTableEnded;
            return expectation;
        }
        if (!beginsWith(line, length, kRecordPrefix))
            continue;
        const size_t start = strlen(kRecordPrefix);
        const char *separator = static_cast<const char *>(memchr(line + start, ';', length - start));
        size_t decidingIndex;
        if (separator != NULL)
            decidingIndex = (size_t)(separator - line);
        else if (complete)
            decidingIndex = length;
        else
            continue; // a last fragment: nothing tells where its mount point ends
        if (decidingIndex <= kLastKeptIndex)
            expectation.mountPoints.push_back(std::string(line + start, decidingIndex - start));
    }
}

// --- the reader, fed block by block ------------------------------------------

Names handedOver;
const SourceTableReader *readerInUse = nullptr;

void failWith(const char *what) {
    fprintf(stderr, "fuzz_source_table: %s\n", what);
    abort();
}

void VELTO_CALL collect(char *mountPoint) {
    const char *block = readerInUse->block;
    if (mountPoint < block || mountPoint >= block + kTableBlockSize)
        failWith("mount point outside the reader's block");
    if (memchr(mountPoint, '\0', (size_t)(block + kTableBlockSize - mountPoint)) == NULL)
        failWith("mount point not terminated inside the block");
    if (strpbrk(mountPoint, ";\r\n") != NULL)
        failWith("mount point holds a separator or a line break");
    handedOver.push_back(mountPoint);
}

size_t blockSize(uint8_t code) { return code < 128 ? (size_t)code + 1 : 128 + (size_t)(code - 128) * 32; }

TableProgress readInBlocks(const char *text, size_t size, const std::vector<size_t> &sizes) {
    // On the heap, so that a write past the reader shows up as an overflow.
    std::unique_ptr<SourceTableReader> reader(new SourceTableReader);
    readerInUse = reader.get();
    tableReaderStart(reader.get(), collect);
    TableProgress progress = kTableGoOn;
    for (size_t fed = 0, turn = 0; fed < size && progress == kTableGoOn; ++turn) {
        int room = 0;
        char *space = tableReaderSpace(reader.get(), &room);
        if (room < 1 || room > kTableBlockSize - 1 || space < reader->block ||
            space + room > reader->block + kTableBlockSize - 1)
            failWith("the reader offered no room or room outside its block");
        size_t count = sizes[turn % sizes.size()];
        if (count > (size_t)room)
            count = (size_t)room;
        if (count > size - fed)
            count = size - fed;
        memcpy(space, text + fed, count);
        fed += count;
        progress = tableReaderFeed(reader.get(), (int)count);
    }
    if (reader->count != (int)handedOver.size())
        failWith("the reader's count differs from the mount points handed over");
    readerInUse = nullptr;
    return progress;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    size_t codes = 1 + data[0] % 8;
    std::vector<size_t> sizes;
    size_t position = 1;
    for (; position < size && sizes.size() < codes; ++position)
        sizes.push_back(blockSize(data[position]));
    if (sizes.empty())
        sizes.push_back(kTableBlockSize - 1);
    const char *text = reinterpret_cast<const char *>(data + position);
    size_t textSize = size - position;

    Expectation expected = readPlainly(text, textSize);
    handedOver.clear();
    TableProgress progress = readInBlocks(text, textSize, sizes);
    if (handedOver != expected.mountPoints) {
        fprintf(stderr, "reader handed over %zu mount points, the plain reading %zu\n",
                handedOver.size(), expected.mountPoints.size());
        for (size_t i = 0; i < handedOver.size() || i < expected.mountPoints.size(); ++i)
            fprintf(stderr, "  %zu: reader \"%s\"  plain \"%s\"\n", i,
                    i < handedOver.size() ? handedOver[i].c_str() : "-",
                    i < expected.mountPoints.size() ? expected.mountPoints[i].c_str() : "-");
        failWith("mount points differ from the plain reading");
    }
    if (progress != expected.progress)
        failWith("the reader ended or refused where the plain reading did not");
    return 0;
}
