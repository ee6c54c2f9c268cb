// Wakes the thread that runs the sessions: a self-pipe it can poll beside
// its signals. Written from the library's callbacks, so it never blocks.
#ifndef VELTO_TOOL_CORE_WAKEUP_H
#define VELTO_TOOL_CORE_WAKEUP_H

class Wakeup {
public:
    bool open();
    ~Wakeup();
    void notify();
    void drain();
    int fd() const { return read_; }

private:
    int read_ = -1;
    int write_ = -1;
};

#endif
