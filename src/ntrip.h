// What the library says to the caster and how it reads the answers. The
// reading is kept apart from the sockets so it can be tested and fuzzed on
// plain byte arrays.
#ifndef VELTO_NTRIP_H
#define VELTO_NTRIP_H

#include "velto.h"

// Room for a stream request: the client's 2048-byte receive buffer.
const int kRequestCapacity = 2048;

extern const char kSourceTableRequest[];
const int kSourceTableRequestLength = 67;

// True when the stream request for this mount point and client number fits
// the receive buffer; a null mount point never fits.
bool streamRequestFits(const char *mountPoint, int clientNumber);

// Writes the stream request into buffer (kRequestCapacity + 1 bytes) and
// returns its length. The caller has checked streamRequestFits.
int formatStreamRequest(char *buffer, const char *mountPoint, int clientNumber);

// Classifies the caster's first answer block (zero-terminated, cut in place)
// into 1 or one of the status codes -5, -6, -7, -8.
int parserNtrip(char *answer);

// Reads a source-table answer from blocks received one after the other into
// its own buffer, handing every STR record's mount point to the callback
// wherever the block boundaries fall.
const int kTableBlockSize = 4096;

struct SourceTableReader {
    char block[kTableBlockSize];
    int carried;       // bytes of an unfinished line kept at the front of block
    int count;         // mount points handed over so far
    bool skipping;     // the rest of the current line is of no interest
    bool statusSeen;   // the "SOURCETABLE 200 OK" line has been accepted
    VeltoSourceCallback callback;
};

enum TableProgress { kTableGoOn, kTableEnded, kTableRefused };

void tableReaderStart(SourceTableReader *reader, VeltoSourceCallback callback);
// Where the next received bytes go, and how many fit (at least 1).
char *tableReaderSpace(SourceTableReader *reader, int *room);
// Reads the received bytes just placed at tableReaderSpace.
TableProgress tableReaderFeed(SourceTableReader *reader, int received);

// Fetches the caster's source table; returns the number of mount points
// handed to callback.
int getSourceTable(VeltoSourceCallback callback);

#endif
