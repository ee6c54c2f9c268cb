// The two ways velto stream tells what happens: lines for people on
// standard error, and JSON lines for scripts. Both take the events of
// core/events.h and nothing else; neither knows about the library or its threads.
#ifndef VELTO_TOOL_PRINT_HUMAN_LINES_H
#define VELTO_TOOL_PRINT_HUMAN_LINES_H

#include <stdio.h>

#include <string>
#include <vector>

#include "core/events.h"

enum class Verbosity { Quiet, Normal, Verbose };

class HumanOutput {
public:
    // live: redraw a status line in place (standard error is a terminal).
    HumanOutput(FILE *to, Verbosity verbosity, bool live) : to_(to), verbosity_(verbosity), live_(live) {}

    // Quiet shows failures, output errors, offered names and the summary;
    // Verbose adds a line per stats event.
    void show(const events::json &event);
    // One stats event per mount point, taken now; bytesPerSecond over the
    // last few seconds, all mount points together.
    void drawLive(const std::vector<events::json> &stats, double bytesPerSecond);
    void clearLive();
    // A message that is not an event (velto's own trouble).
    void error(const std::string &text);

private:
    void line(const std::string &text);
    std::string liveText(const std::vector<events::json> &stats, double bytesPerSecond) const;

    FILE *to_;
    Verbosity verbosity_;
    bool live_;
    bool drawn_ = false;
};

class JsonLinesOutput {
public:
    ~JsonLinesOutput() { close(); }
    // "-" is standard output. Truncates a file.
    bool open(const std::string &path);
    bool isOpen() const { return file_ != nullptr; }
    // Writes and flushes one line, so a reader sees each event as it happens.
    bool write(const events::json &event);
    bool failed() const { return error_ != 0; }
    int error() const { return error_; }
    void close();

private:
    FILE *file_ = nullptr;
    bool ownsFile_ = false;
    int error_ = 0;
};

#endif
