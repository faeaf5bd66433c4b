// Starting a child process held before it runs, so that it can be watched from its first instruction.
#ifndef ZUVST_PLATFORM_PROCESS_H
#define ZUVST_PLATFORM_PROCESS_H

#include <cstdint>
#include <string>
#include <vector>

namespace zuvst::platform {

struct HeldProcess {
    uint32_t pid = 0;
    int releaseFd = -1; // writing to it (or closing it) lets the child go on to run the program
};

// Forks a child that waits for the release, then runs program with argv (argv[0] included) and the caller's
// environment and directory. False when no child could be made.
bool StartHeldProcess(const std::string& program, const std::vector<std::string>& argv, HeldProcess* out);
// Lets the child run the program.
void ReleaseHeldProcess(HeldProcess* process);

} // namespace zuvst::platform

#endif
