#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace zuvst::platform {

bool StartHeldProcess(const std::string& program, const std::vector<std::string>& argv, HeldProcess* out)
{
    // Everything the child needs is prepared before the fork: after it only async-signal-safe calls run.
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int gate[2];
    if (::pipe2(gate, O_CLOEXEC) != 0) return false;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(gate[0]);
        ::close(gate[1]);
        return false;
    }
    if (pid == 0) {
        ::close(gate[1]);
        // Signals the host blocked or ignored must not follow the server into its program.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        char go;
        while (::read(gate[0], &go, 1) < 0) {
        }
        ::execv(program.c_str(), args.data());
        ::_exit(127);
    }
    ::close(gate[0]);
    *out = HeldProcess {static_cast<uint32_t>(pid), gate[1]};
    return true;
}

void ReleaseHeldProcess(HeldProcess* process)
{
    if (process->releaseFd < 0) return;
    const char go = 1;
    [[maybe_unused]] ssize_t n = ::write(process->releaseFd, &go, 1);
    ::close(process->releaseFd);
    process->releaseFd = -1;
}

} // namespace zuvst::platform
