#include "platform/executable_info.h"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace zuvst::platform {

bool IsNativeLibraryFile(const char* path)
{
    if (!path) return false;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    unsigned char header[EI_NIDENT + 4] = {};
    const ssize_t got = ::read(fd, header, sizeof(header));
    ::close(fd);
    if (got != static_cast<ssize_t>(sizeof(header)) || std::memcmp(header, ELFMAG, SELFMAG) != 0) return false;
#if UINTPTR_MAX == 0xFFFFFFFFu
    constexpr unsigned char kClass = ELFCLASS32;
#else
    constexpr unsigned char kClass = ELFCLASS64;
#endif
#if defined(__x86_64__)
    constexpr uint16_t kMachine = EM_X86_64;
#elif defined(__i386__)
    constexpr uint16_t kMachine = EM_386;
#elif defined(__aarch64__)
    constexpr uint16_t kMachine = EM_AARCH64;
#else
    constexpr uint16_t kMachine = EM_NONE;
#endif
    if (header[EI_CLASS] != kClass || header[EI_DATA] != ELFDATA2LSB) return false;
    uint16_t type, machine;
    std::memcpy(&type, header + EI_NIDENT, 2);
    std::memcpy(&machine, header + EI_NIDENT + 2, 2);
    return (type == ET_DYN || type == ET_EXEC) && machine == kMachine;
}

} // namespace zuvst::platform
