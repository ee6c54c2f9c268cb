#include "core/names.h"

#include <ctype.h>
#include <stdio.h>

#include <algorithm>
#include <utility>

namespace names {

std::string safeFileName(const std::string &mount) {
    std::string name;
    for (size_t i = 0; i < mount.size(); ++i) {
        unsigned char c = (unsigned char)mount[i];
        bool keep = isalnum(c) || c == '-' || c == '_' || (c == '.' && i > 0);
        if (keep && c < 0x80) {
            name += (char)c;
        } else {
            char code[4];
            snprintf(code, sizeof code, "%%%02X", c);
            name += code;
        }
    }
    return name;
}

bool validPattern(const std::string &pattern) {
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%')
            continue;
        if (i + 1 >= pattern.size() || (pattern[i + 1] != 'm' && pattern[i + 1] != '%'))
            return false;
        ++i;
    }
    return true;
}

bool patternNamesMount(const std::string &pattern) {
    for (size_t i = 0; i + 1 < pattern.size(); ++i) {
        if (pattern[i] != '%')
            continue;
        if (pattern[i + 1] == 'm')
            return true;
        ++i; // "%%"
    }
    return false;
}

std::string expandPattern(const std::string &pattern, const std::string &mount) {
    std::string path;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size()) {
            path += pattern[i + 1] == 'm' ? safeFileName(mount) : std::string("%");
            ++i;
        } else {
            path += pattern[i];
        }
    }
    return path;
}

namespace {

size_t editDistance(const std::string &a, const std::string &b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            bool same = tolower((unsigned char)a[i - 1]) == tolower((unsigned char)b[j - 1]);
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

} // namespace

std::vector<std::string> closestFirst(const std::string &wanted,
                                      const std::vector<std::string> &offered) {
    std::vector<std::pair<size_t, size_t>> ranked; // distance, caster's position
    for (size_t i = 0; i < offered.size(); ++i)
        ranked.push_back({editDistance(wanted, offered[i]), i});
    std::sort(ranked.begin(), ranked.end());
    std::vector<std::string> ordered;
    for (const auto &entry : ranked)
        ordered.push_back(offered[entry.second]);
    return ordered;
}

} // namespace names
