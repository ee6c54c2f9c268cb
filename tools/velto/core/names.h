// Mount-point names as velto accepts them, turns them into file names, and
// compares them with what a caster offers.
#ifndef VELTO_TOOL_CORE_NAMES_H
#define VELTO_TOOL_CORE_NAMES_H

#include <string>
#include <vector>

namespace names {

// One path component that stays inside its directory: ASCII letters,
// digits, '-', '_' and '.' (except a leading one) stay as they are; every
// other byte, '/' and '%' included, becomes %XX. Distinct mount points get
// distinct names, and none is "." or "..".
std::string safeFileName(const std::string &mount);

// An --output pattern: "%m" stands for safeFileName(mount), "%%" for "%".
// Returns false for any other use of '%'.
bool validPattern(const std::string &pattern);
bool patternNamesMount(const std::string &pattern);
std::string expandPattern(const std::string &pattern, const std::string &mount);

// The offered names, those closest to the wanted one first: edit distance,
// ignoring ASCII case; equally close names keep the caster's order.
std::vector<std::string> closestFirst(const std::string &wanted,
                                      const std::vector<std::string> &offered);

} // namespace names

#endif
