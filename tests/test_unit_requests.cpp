#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "ntrip.h"

namespace {

// The client's receive buffer: 2048 data bytes and one for the terminator.
const size_t kBufferBytes = kRequestCapacity + 1;
const char kUntouched = '\x5a';
// Characters of the request that are neither mount point nor client number.
const int kFixedRequestCharacters = 89;

struct FormattedRequest {
    int length;
    std::vector<char> buffer;
};

// Formats into a buffer pre-filled with a marker byte, so that whatever the
// formatting writes beyond the request itself shows.
FormattedRequest format(const char *mountPoint, int clientNumber) {
    FormattedRequest request;
    request.buffer.assign(kBufferBytes, kUntouched);
    request.length = formatStreamRequest(request.buffer.data(), mountPoint, clientNumber);
    return request;
}

std::string text(const FormattedRequest &request) {
    return std::string(request.buffer.data(), (size_t)request.length);
}

} // namespace

// A caster decides from the request head alone which stream a receiver
// gets and whether its credential is good, and some casters parse the head
// strictly: one byte out of place (a missing CR, a space in the wrong spot, a
// padded number) and the receiver is refused or served the wrong mount point.

TEST(StreamRequest, ExactBytesForClientSeven) {
    FormattedRequest request = format("MP01x", 7);
    ASSERT_EQ(request.length, 95);
    EXPECT_EQ(text(request), "GET /MP01x HTTP/1.1\r\n"
                             "User-Agent: NTRIP Client 1.0 #7\r\n"
                             "Authorization: Basic cXdlcnQ6eXVpb3A=\r\n"
                             "\r\n");
}

TEST(StreamRequest, NegativeClientNumberAddsItsSign) {
    FormattedRequest request = format("MP01x", -1);
    ASSERT_EQ(request.length, 96);
    EXPECT_EQ(text(request), "GET /MP01x HTTP/1.1\r\n"
                             "User-Agent: NTRIP Client 1.0 #-1\r\n"
                             "Authorization: Basic cXdlcnQ6eXVpb3A=\r\n"
                             "\r\n");
}

TEST(StreamRequest, WritesNothingPastItsTerminator) {
    FormattedRequest request = format("MP01x", 7);
    ASSERT_EQ(request.length, 95);
    EXPECT_EQ(request.buffer[95], '\0');
    for (size_t i = 96; i < kBufferBytes; ++i)
        ASSERT_EQ(request.buffer[i], kUntouched) << "byte " << i << " was overwritten";
}

// The longest mount point the buffer takes: the request then fills all 2048
// data bytes and its terminator lands in the spare byte, never beyond.
TEST(StreamRequest, LongestAcceptedMountPointFillsTheBufferExactly) {
    const int clientNumber = 7;
    std::string longest(kRequestCapacity - kFixedRequestCharacters - 1, 'm');
    ASSERT_TRUE(streamRequestFits(longest.c_str(), clientNumber));
    std::string tooLong = longest + "m";
    EXPECT_FALSE(streamRequestFits(tooLong.c_str(), clientNumber));
    EXPECT_FALSE(streamRequestFits(longest.c_str(), 10)); // one more digit
    EXPECT_FALSE(streamRequestFits(NULL, clientNumber));

    FormattedRequest request = format(longest.c_str(), clientNumber);
    ASSERT_EQ(request.length, kRequestCapacity);
    EXPECT_EQ(request.buffer[kRequestCapacity], '\0');
    EXPECT_EQ(text(request).substr(0, 6 + longest.size()), "GET /" + longest + " ");
    EXPECT_EQ(text(request).substr((size_t)kRequestCapacity - 4), "\r\n\r\n");
}

// The source-table request goes out as a fixed 67 bytes: a text that grew or
// lost its final empty line would leave the caster waiting for the rest of
// the head, and the listing would time out instead of arriving.

TEST(SourceTableRequest, IsTheExactSixtySevenByteHead) {
    EXPECT_EQ(kSourceTableRequestLength, 67);
    ASSERT_EQ(strlen(kSourceTableRequest), 67u);
    EXPECT_EQ(std::string(kSourceTableRequest), "GET / HTTP/1.1\r\n"
                                                "User-Agent: NTRIP Client 1.0\r\n"
                                                "Connection: close\r\n"
                                                "\r\n");
}

TEST(SourceTableRequest, EndsWithTheEmptyLine) {
    std::string request(kSourceTableRequest, (size_t)kSourceTableRequestLength);
    EXPECT_EQ(request.substr(request.size() - 4), "\r\n\r\n");
    EXPECT_EQ(request.find("\r\n\r\n"), request.size() - 4) << "the head ends early";
}
