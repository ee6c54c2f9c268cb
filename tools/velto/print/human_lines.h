// What velto stream and velto monitor tell people: a line for each event
// worth their attention on standard error, and on a terminal a live line
// redrawn in place. Made from the events of core/events.h and nothing else,
// so the lines and the JSON lines always tell the same facts.
#ifndef VELTO_TOOL_PRINT_HUMAN_LINES_H
#define VELTO_TOOL_PRINT_HUMAN_LINES_H

#include <stdio.h>

#include <string>
#include <vector>

#include "core/events.h"
#include "core/run_options.h"

class HumanLines {
public:
    // live: redraw a status line in place (standard error is a terminal).
    HumanLines(FILE *to, Verbosity verbosity, bool live) : to_(to), verbosity_(verbosity), live_(live) {}

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

#endif
