// The option values velto stream and velto monitor share. A value a command
// cannot use is a usage error of that command ("stream ", "monitor ").
#ifndef VELTO_TOOL_OPTION_VALUES_H
#define VELTO_TOOL_OPTION_VALUES_H

#include <string>
#include <vector>

double positiveSeconds(const char *command, const std::string &option, const char *text);
int clientNumber(const char *command, const char *text);
int leapSeconds(const char *command, const char *text);
// Each one non-empty printable ASCII without spaces, none given twice.
void checkMountPoints(const char *command, const std::vector<std::string> &mounts);

#endif
