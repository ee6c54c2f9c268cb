// The events as JSON lines, for scripts: one event per line, in the file
// --json names.
#ifndef VELTO_TOOL_PRINT_JSON_LINES_H
#define VELTO_TOOL_PRINT_JSON_LINES_H

#include <stdio.h>

#include <string>

#include "core/events.h"

class JsonLines {
public:
    ~JsonLines() { close(); }
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
