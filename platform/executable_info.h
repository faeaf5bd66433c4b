// Reads a file's object header to tell whether this process could load it.
#ifndef ZUVST_PLATFORM_EXECUTABLE_INFO_H
#define ZUVST_PLATFORM_EXECUTABLE_INFO_H

namespace zuvst::platform {

// True for an ELF shared object or executable of this process's own class, byte order and machine.
bool IsNativeLibraryFile(const char* path);

} // namespace zuvst::platform

#endif
