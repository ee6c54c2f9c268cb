// The facts and events of StreamAnalysis as JSON, for `velto stream --json`
// and the web page. The shape is documented in the README ("The RTCM 3
// analysis"); keys are only ever added to it, never renamed.
#ifndef VELTO_ANALYSIS_ANALYSIS_JSON_H
#define VELTO_ANALYSIS_ANALYSIS_JSON_H

#include <string>

#include <nlohmann/json.hpp>

#include "analysis.h"

namespace analysis {

nlohmann::json toJson(const Facts &facts);
nlohmann::json toJson(const Event &event);

// One line of JSON text, without a line end. Descriptors come from the
// stream and may hold any bytes: invalid UTF-8 becomes U+FFFD instead of an
// exception, and control characters are escaped.
std::string jsonLine(const nlohmann::json &value);

} // namespace analysis

#endif
