# Adds `velto monitor` to the velto program when cpp-httplib and Chart.js
# are there for the target; sets VELTO_MONITOR to ON or OFF (in the cache,
# so that the tests and benchmarks elsewhere in the tree see it).
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(CPP_HTTPLIB QUIET cpp-httplib)
endif()
# pkg-config answers for the build machine; the library must be one the
# target can link (CMAKE_IGNORE_PATH keeps a cross build off the host's).
find_library(VELTO_HTTPLIB_LIBRARY NAMES cpp-httplib HINTS ${CPP_HTTPLIB_LIBRARY_DIRS})
set(VELTO_CHART_JS /usr/share/javascript/chart.js/chart.min.js CACHE FILEPATH
    "Chart.js (its UMD build, Debian libjs-chart.js) to build into velto monitor")

set(VELTO_MONITOR OFF)
if(CPP_HTTPLIB_FOUND AND VELTO_HTTPLIB_LIBRARY AND EXISTS ${VELTO_CHART_JS})
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_DEFINITIONS ${CPP_HTTPLIB_CFLAGS_OTHER})
  set(CMAKE_REQUIRED_INCLUDES ${CPP_HTTPLIB_INCLUDE_DIRS})
  set(CMAKE_REQUIRED_LIBRARIES ${VELTO_HTTPLIB_LIBRARY} Threads::Threads)
  check_cxx_source_compiles("#include <httplib.h>
    int main() { httplib::Server server; return server.is_valid() ? 0 : 1; }" VELTO_HTTPLIB_LINKS)
  unset(CMAKE_REQUIRED_DEFINITIONS)
  unset(CMAKE_REQUIRED_INCLUDES)
  unset(CMAKE_REQUIRED_LIBRARIES)
  if(VELTO_HTTPLIB_LINKS)
    set(VELTO_MONITOR ON)
  endif()
endif()
set(VELTO_MONITOR ${VELTO_MONITOR} CACHE INTERNAL "velto monitor is built")

set(monitor ${CMAKE_CURRENT_LIST_DIR})
# The monitor's view of a run, the page's state and /metrics: plain C++ over
# the run's facts, without HTTP. Built wherever the tools are, so that its
# tests (tools_reports) run there too; velto holds it only with the monitor.
add_library(velto_monitor_state STATIC ${monitor}/state.cpp ${monitor}/metrics.cpp)
target_link_libraries(velto_monitor_state PUBLIC velto_core)
target_compile_options(velto_monitor_state PRIVATE ${velto_tool_warnings})
velto_harden(velto_monitor_state)

if(NOT VELTO_MONITOR)
  message(STATUS "velto monitor: not built (needs cpp-httplib for the target, Debian "
                 "libcpp-httplib-dev, and ${VELTO_CHART_JS}, Debian libjs-chart.js)")
  return()
endif()

set(page ${monitor}/page)
set(embed ${monitor}/embed.cmake)
set(assets ${CMAKE_CURRENT_BINARY_DIR}/monitor_assets.cpp)
set(files index_html=${page}/index.html monitor_js=${page}/monitor.js
          monitor_css=${page}/monitor.css chart_js=${VELTO_CHART_JS})
add_custom_command(OUTPUT ${assets}
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${assets} "-DFILES=${files}" -P ${embed}
  DEPENDS ${embed} ${page}/index.html ${page}/monitor.js ${page}/monitor.css
          ${VELTO_CHART_JS}
  COMMENT "Building the monitor's page into velto"
  VERBATIM)

# The rest of it, the command with its options, the event streams, the gate
# and the HTTP side, over the state above and velto's core.
add_library(velto_monitor STATIC
  ${monitor}/command.cpp ${monitor}/options.cpp ${monitor}/event_hub.cpp ${monitor}/gate.cpp
  ${monitor}/http.cpp ${assets})
target_include_directories(velto_monitor PRIVATE ${CPP_HTTPLIB_INCLUDE_DIRS})
target_compile_options(velto_monitor PRIVATE ${CPP_HTTPLIB_CFLAGS_OTHER})
target_link_libraries(velto_monitor PUBLIC velto_monitor_state velto_command_line velto_print
                      velto_core ${VELTO_HTTPLIB_LIBRARY})
target_compile_options(velto_monitor PRIVATE ${velto_tool_warnings})
velto_harden(velto_monitor)
target_link_libraries(velto PRIVATE velto_monitor)
target_compile_definitions(velto PRIVATE VELTO_WITH_MONITOR)
