#include <dirent.h>

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
