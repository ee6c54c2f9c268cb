// What velto stream and velto monitor print about a run: lines for people on
// standard error and, with --json, the events as JSON lines for scripts.
#ifndef VELTO_TOOL_PRINT_PRINTER_H
#define VELTO_TOOL_PRINT_PRINTER_H

#include <stdio.h>

#include <string>

#include "core/run.h"
#include "print/human_lines.h"
#include "print/json_lines.h"

class RunPrinter : public RunReport {
public:
    RunPrinter(FILE *lines, Verbosity verbosity, bool live) : lines_(lines, verbosity, live) {}

    bool openEvents(const std::string &path) override { return json_.open(path); }
    void event(const events::json &event) override {
        lines_.show(event);
        if (json_.isOpen() && !json_.failed())
            json_.write(event);
    }
    void error(const std::string &text) override { lines_.error(text); }
    int eventsError() const override { return json_.error(); }
    void closeEvents() override { json_.close(); }

    HumanLines &lines() { return lines_; }

private:
    HumanLines lines_;
    JsonLines json_;
};

#endif
