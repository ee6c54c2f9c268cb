#include "core/run_options.h"

#include "core/names.h"

std::string RunOptions::outputFor(const std::string &mount) const {
    if (noData)
        return "";
    if (!outputDir.empty())
        return outputDir + "/" + names::safeFileName(mount);
    if (output.empty() || output == "-")
        return "-";
    return names::expandPattern(output, mount);
}
