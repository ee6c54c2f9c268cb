#include "print/json_lines.h"

#include <errno.h>

using events::json;

bool JsonLines::open(const std::string &path) {
    if (path == "-") {
        file_ = stdout;
        return true;
    }
    file_ = fopen(path.c_str(), "we");
    ownsFile_ = file_ != nullptr;
    if (file_ == nullptr)
        error_ = errno;
    return file_ != nullptr;
}

bool JsonLines::write(const json &event) {
    if (file_ == nullptr || error_ != 0)
        return false;
    std::string text = events::toLine(event);
    text += '\n';
    if (fwrite(text.data(), 1, text.size(), file_) != text.size() || fflush(file_) != 0)
        error_ = errno != 0 ? errno : EIO;
    return error_ == 0;
}

void JsonLines::close() {
    if (ownsFile_ && file_ != nullptr && fclose(file_) != 0 && error_ == 0)
        error_ = errno;
    file_ = nullptr;
    ownsFile_ = false;
}
