// Module file names and the language module file.
#ifndef ZUVST_PLATFORM_MODULE_PATH_H
#define ZUVST_PLATFORM_MODULE_PATH_H

#include <string>

namespace zuvst::platform {

// The file of the module that holds `address` (null: the program itself).
std::string ModuleFilePath(const void* address);
// Opens a string catalog file; null when there is none.
void* OpenLanguageModule(const char* path);
void CloseLanguageModule(void* module);

} // namespace zuvst::platform

#endif
