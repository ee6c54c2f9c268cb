#include <dirent.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "recorders.h"

int openDescriptorCount() {
    DIR *dir = opendir("/proc/self/fd");
    int count = 0;
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count - 3; // ".", ".." and the directory's own descriptor
}

int threadCount() {
    DIR *dir = opendir("/proc/self/task");
    int count = 0;
    while (dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count;
}

int threadCountOnceSettled(int expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int count = threadCount();
    while (count != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        count = threadCount();
    }
    return count;
}

void startAndJoinOneThread() {
    long tid = 0;
    std::thread([&tid] { tid = syscall(SYS_gettid); }).join();
    const std::string entry = "/proc/self/task/" + std::to_string(tid);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    struct stat info;
    while (stat(entry.c_str(), &info) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
