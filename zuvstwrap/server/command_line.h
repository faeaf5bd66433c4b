// The server's command line: options -Name or /Name followed by a value, read from the UTF-16 elements.
#ifndef ZUVST_SERVER_COMMAND_LINE_H
#define ZUVST_SERVER_COMMAND_LINE_H

#include <string>
#include <vector>

#include "zuvst/types.h"

namespace zuvst {

// The elements, element 0 the program. Lookups cut the elements in place, as the option rules say.
struct CommandLineArgs {
    std::vector<std::u16string> elements;
};

CommandLineArgs MakeCommandLineArgs(int argc, char** argv);
// The index (1 or more) of the element naming the option, else 0.
int FindOption(CommandLineArgs& args, const WCHAR* name);
// The option's value element, else null.
const WCHAR* GetOptionValue(CommandLineArgs& args, const WCHAR* name);

// The launcher's side: the command line of a server, and its split into elements by the usual rules
// (blanks separate, double quotes group and are removed, backslashes escape quotes).
std::u16string BuildServerCommandLine(const std::u16string& serverPath, const std::u16string& eventName,
                                      const WCHAR* vendor, const WCHAR* product);
std::vector<std::u16string> SplitCommandLine(const std::u16string& line);

} // namespace zuvst

#endif
