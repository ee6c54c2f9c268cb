#include "core/wakeup.h"

#include <fcntl.h>
#include <unistd.h>

bool Wakeup::open() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    read_ = ends[0];
    write_ = ends[1];
    return true;
}

Wakeup::~Wakeup() {
    if (read_ >= 0) {
        close(read_);
        close(write_);
    }
}

void Wakeup::notify() {
    char byte = 1;
    ssize_t ignored = write(write_, &byte, 1); // a full pipe is awake already
    (void)ignored;
}

void Wakeup::drain() {
    char buffer[256];
    while (read(read_, buffer, sizeof buffer) > 0) {
    }
}
