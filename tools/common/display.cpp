#include "display.h"

#include <stdio.h>
#include <time.h>

namespace display {

std::string escaped(const std::string &text) {
    std::string shown;
    shown.reserve(text.size());
    for (unsigned char c : text) {
        if (c == '\\') {
            shown += "\\\\";
        } else if (c >= 0x20 && c <= 0x7E) {
            shown += (char)c;
        } else {
            char code[5];
            snprintf(code, sizeof code, "\\x%02X", c);
            shown += code;
        }
    }
    return shown;
}

std::string utcTimestamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    long long ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
    // Floor division, so that an instant before 1970 still gets 0..999 ms.
    long long seconds = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    time_t whole = (time_t)seconds;
    struct tm parts;
    gmtime_r(&whole, &parts);
    char text[40];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
             parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
             (int)(ms - seconds * 1000));
    return text;
}

} // namespace display
