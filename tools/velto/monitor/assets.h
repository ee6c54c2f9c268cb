// The files of velto monitor's page, built into the binary from
// tools/velto/monitor/page/ and Debian's Chart.js (see monitor/embed.cmake).
#ifndef VELTO_TOOL_MONITOR_ASSETS_H
#define VELTO_TOOL_MONITOR_ASSETS_H

#include <stddef.h>

struct MonitorAsset {
    const unsigned char *bytes;
    size_t size;
};

extern const MonitorAsset kAsset_index_html;
extern const MonitorAsset kAsset_monitor_js;
extern const MonitorAsset kAsset_monitor_css;
extern const MonitorAsset kAsset_chart_js;

#endif
