#include "ntrip.h"

#include <atomic>
#include <stdio.h>
#include <string.h>

#include "caster.h"
#include "platform.h"

namespace {

const char kStreamRequestTemplate[] =
    "GET /%s HTTP/1.1\r\n"
    "User-Agent: NTRIP Client 1.0 #%d\r\n"
    "Authorization: Basic %s\r\n"
    "\r\n";
// The template's own characters once the three conversions are taken out.
const int kStreamRequestFixedLength = 89;
const char kCredential[] = "cXdlcnQ6eXVpb3A=";

const char kIcyOk[] = "ICY 200 OK";
const char kHttpPrefix[] = "HTTP/";
const char kTableStatus[] = "SOURCETABLE 200 OK";
const char kTableEnd[] = "ENDSOURCETABLE";
const char kRecordPrefix[] = "STR;";
const int kIcyOkLength = 10;
const int kHttpPrefixLength = 5;
const int kTableStatusLength = 18;
const int kTableEndLength = 14;
const int kRecordPrefixLength = 4;
// "HTTP/1.1 200": the status number starts at the tenth character.
const int kStatusNumberOffset = 9;

const int kTableReceiveTimeoutSeconds = 8;
const int kTableTextLimit = kTableBlockSize - 1;

int decimalWidth(int number) {
    int width = number < 0 ? 2 : 1;
    for (unsigned int rest = number < 0 ? 0u - (unsigned int)number : (unsigned int)number;
         rest >= 10; rest /= 10)
        ++width;
    return width;
}

bool isLineBreak(char c) { return c == '\r' || c == '\n'; }

// Cuts the next non-empty line out of the text at *cursor, in place; null
// when the text (ended by its first NUL) is used up. The position lives in
// the caller, so concurrent readers never share it.
char *nextLine(char **cursor) {
    char *position = *cursor;
    while (isLineBreak(*position))
        ++position;
    if (*position == '\0') {
        *cursor = position;
        return NULL;
    }
    char *line = position;
    while (*position != '\0' && !isLineBreak(*position))
        ++position;
    if (*position != '\0')
        *position++ = '\0';
    *cursor = position;
    return line;
}

bool startsWith(const char *line, const char *keyword, int length) {
    return compareIgnoringCase(line, keyword, (size_t)length) == 0;
}

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Reads a decimal number as atoi does (white space, optional sign, digits),
// but saturating, so an absurd number of digits cannot overflow.
int readStatusNumber(const char *text) {
    while (isSpace(*text))
        ++text;
    bool negative = *text == '-';
    if (*text == '+' || *text == '-')
        ++text;
    int number = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        if (number < 100000)
            number = number * 10 + (*text - '0');
    return negative ? -number : number;
}

// The effect of one "HTTP/" status line: 1, a deciding code, or 0 for none.
int classifyHttpLine(const char *line) {
    // A line that ends before its tenth character carries no status number;
    // reading on would run into the next line.
    if (strnlen(line, kStatusNumberOffset + 1) <= (size_t)kStatusNumberOffset)
        return 0;
    switch (readStatusNumber(line + kStatusNumberOffset)) {
    case 200: return 1;
    case 401: return VELTO_STATUS_UNAUTHORISED;
    case 404: return VELTO_STATUS_NOT_FOUND;
    case 501: return VELTO_STATUS_NOT_IMPLEMENTED;
    default: return 0;
    }
}

} // namespace

const char kSourceTableRequest[] = "GET / HTTP/1.1\r\n"
                                   "User-Agent: NTRIP Client 1.0\r\n"
                                   "Connection: close\r\n"
                                   "\r\n";

bool streamRequestFits(const char *mountPoint, int clientNumber) {
    const size_t room = kRequestCapacity - kStreamRequestFixedLength;
    if (mountPoint == NULL)
        return false;
    return strnlen(mountPoint, room + 1) + (size_t)decimalWidth(clientNumber) <= room;
}

int formatStreamRequest(char *buffer, const char *mountPoint, int clientNumber) {
    int length = snprintf(buffer, kRequestCapacity + 1, kStreamRequestTemplate, mountPoint,
                          clientNumber, kCredential);
    return length > kRequestCapacity ? kRequestCapacity : length;
}

int parserNtrip(char *answer) {
    int result = VELTO_STATUS_UNRESOLVED;
    char *cursor = answer;
    for (char *line = nextLine(&cursor); line != NULL; line = nextLine(&cursor)) {
        switch (line[0] & ~0x20) {
        case 'H':
            if (startsWith(line, kHttpPrefix, kHttpPrefixLength)) {
                int effect = classifyHttpLine(line);
                if (effect < 0)
                    return effect;
                if (effect == 1)
                    result = 1;
            }
            break;
        case 'I':
            if (startsWith(line, kIcyOk, kIcyOkLength))
                result = 1;
            break;
        case 'S':
            if (startsWith(line, kTableStatus, kTableStatusLength))
                return VELTO_STATUS_NOT_FOUND;
            break;
        default:
            break;
        }
    }
    return result;
}

// --- source-table text -------------------------------------------------------
//
// The table arrives in blocks whose boundaries fall anywhere. The reader keeps
// an unfinished line at the front of its buffer only while that line may
// still matter (it may yet become the status line, the end marker or a record
// whose mount point is not complete); every other unfinished line is skipped
// up to its end without being kept. NUL, like CR and LF, ends a line, so
// what a line means never depends on where a block ended.

namespace {

enum LineVerdict { kLineDone, kLineSkipRest, kLineCarry, kLineEnded, kLineRefused };

bool isTableBreak(char c) { return c == '\r' || c == '\n' || c == '\0'; }

// Where the line text starting at position ends: at the next CR, LF or NUL
// (text[end] is NUL, so never past the received bytes). Every byte of a
// table passes here; the C library's scan is several times faster than a
// byte loop of ours.
int lineEnd(const char *text, int position) {
    return position + (int)strcspn(text + position, "\r\n");
}

// True when the first length characters of line agree with keyword as far as
// both go: the line may still turn out to begin with it.
bool mayStartWith(const char *line, int length, const char *keyword, int keywordLength) {
    int checked = length < keywordLength ? length : keywordLength;
    return compareIgnoringCase(line, keyword, (size_t)checked) == 0;
}

void handOver(SourceTableReader *reader, char *mountPoint) {
    ++reader->count;
    reader->callback(mountPoint);
}

LineVerdict readStatusLine(SourceTableReader *reader, const char *line, int length,
                           bool complete) {
    if (length >= kTableStatusLength) {
        if (!startsWith(line, kTableStatus, kTableStatusLength))
            return kLineRefused;
        reader->statusSeen = true;
        return complete ? kLineDone : kLineSkipRest;
    }
    if (complete || !mayStartWith(line, length, kTableStatus, kTableStatusLength))
        return kLineRefused;
    return kLineCarry;
}

LineVerdict readEndLine(const char *line, int length, bool complete) {
    if (length >= kTableEndLength)
        return startsWith(line, kTableEnd, kTableEndLength) ? kLineEnded
                                                            : (complete ? kLineDone : kLineSkipRest);
    if (complete)
        return kLineDone;
    return mayStartWith(line, length, kTableEnd, kTableEndLength) ? kLineCarry : kLineSkipRest;
}

// "STR;" ignoring case. Every record line passes here, so the test is made
// inline rather than through the library's case-blind compare.
bool isRecordPrefix(const char *line) {
    return (line[0] & ~0x20) == 'S' && (line[1] & ~0x20) == 'T' && (line[2] & ~0x20) == 'R' &&
           line[3] == ';';
}

// A mount point is handed over as soon as it is known to be complete: its
// closing ';' or its line end has arrived.
LineVerdict readRecordLine(SourceTableReader *reader, char *line, int length, bool complete) {
    if (length < kRecordPrefixLength) {
        if (complete)
            return kLineDone;
        return mayStartWith(line, length, kRecordPrefix, kRecordPrefixLength) ? kLineCarry
                                                                             : kLineSkipRest;
    }
    if (!isRecordPrefix(line))
        return complete ? kLineDone : kLineSkipRest;
    char *mountPoint = line + kRecordPrefixLength;
    size_t rest = (size_t)(length - kRecordPrefixLength);
    char *separator = static_cast<char *>(memchr(mountPoint, ';', rest));
    if (separator != NULL) {
        *separator = '\0';
        handOver(reader, mountPoint);
        return complete ? kLineDone : kLineSkipRest;
    }
    if (!complete)
        return kLineCarry;
    line[length] = '\0'; // the line break
    handOver(reader, mountPoint);
    return kLineDone;
}

LineVerdict readLine(SourceTableReader *reader, char *line, int length, bool complete) {
    if (!reader->statusSeen)
        return readStatusLine(reader, line, length, complete);
    switch (line[0] & ~0x20) {
    case 'E': return readEndLine(line, length, complete);
    case 'S': return readRecordLine(reader, line, length, complete);
    default: return complete ? kLineDone : kLineSkipRest;
    }
}

// Keeps an unfinished line at the front of the buffer for the next receive.
// A line that already fills the whole buffer can never be completed there,
// so it is skipped up to its end instead.
void carryLine(SourceTableReader *reader, const char *line, int length) {
    if (length >= kTableTextLimit) {
        reader->skipping = true;
        return;
    }
    memmove(reader->block, line, (size_t)length);
    reader->carried = length;
}

} // namespace

void tableReaderStart(SourceTableReader *reader, VeltoSourceCallback callback) {
    reader->carried = 0;
    reader->count = 0;
    reader->skipping = false;
    reader->statusSeen = false;
    reader->callback = callback;
}

char *tableReaderSpace(SourceTableReader *reader, int *room) {
    *room = kTableTextLimit - reader->carried;
    return reader->block + reader->carried;
}

TableProgress tableReaderFeed(SourceTableReader *reader, int received) {
    char *text = reader->block;
    int end = reader->carried + received;
    text[end] = '\0';
    reader->carried = 0;
    int position = 0;
    while (position < end) {
        if (reader->skipping) {
            position = lineEnd(text, position);
            if (position == end)
                break;
            reader->skipping = false;
        }
        while (position < end && isTableBreak(text[position]))
            ++position;
        if (position == end)
            break;
        int stop = lineEnd(text, position);
        int length = stop - position;
        bool complete = stop < end;
        switch (readLine(reader, text + position, length, complete)) {
        case kLineEnded: return kTableEnded;
        case kLineRefused: return kTableRefused;
        case kLineCarry: carryLine(reader, text + position, length); return kTableGoOn;
        case kLineSkipRest: reader->skipping = true; return kTableGoOn;
        case kLineDone: position = stop; break;
        }
    }
    return kTableGoOn;
}

namespace {

// Feeds every block the caster sends to the reader until the table ends,
// the answer is refused, the caster closes, or a receive times out.
void readSourceTable(SocketHandle socketHandle, SourceTableReader *reader) {
    for (;;) {
        int room = 0;
        char *space = tableReaderSpace(reader, &room);
        int received = socketReceive(socketHandle, space, room, kTableReceiveTimeoutSeconds);
        if (received <= 0 || tableReaderFeed(reader, received) != kTableGoOn)
            return;
    }
}

} // namespace

int getSourceTable(VeltoSourceCallback callback) {
    if (callback == NULL || !ipAddress())
        return 0;
    // Nothing ever clears this flag: a source-table connect is not cancellable.
    std::atomic<int> keepConnecting(1);
    SocketHandle socketHandle = openSocket(&__addr, &keepConnecting);
    if (socketHandle == kNoSocket)
        return 0;
    socketSetReceiveTimeout(socketHandle, kTableReceiveTimeoutSeconds);
    SourceTableReader reader;
    tableReaderStart(&reader, callback);
    if (socketSend(socketHandle, kSourceTableRequest, kSourceTableRequestLength) ==
        kSourceTableRequestLength)
        readSourceTable(socketHandle, &reader);
    closeSocket(socketHandle);
    return reader.count;
}
