// Watches processes through process descriptors: when one ends it is reaped (no zombie is left) and how it
// ended is kept for the host to read. A process stays watched until it ends, also after the stop call, so
// that it is always reaped; the stop call only ends the host's interest in it.
#include "faultgrove/faultgrove.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

thread_local int32_t tl_trapBypassDepth = 0;

struct Watched {
    int fd = -1;
    bool monitored = true;
    int32_t state = 0;
    int32_t code = 0;
};

struct Monitor {
    std::mutex lock;
    std::map<uint32_t, Watched> processes;
    int wake = -1;
    bool running = false;

    void Run()
    {
        for (;;) {
            std::vector<pollfd> fds {pollfd {wake, POLLIN, 0}};
            std::vector<uint32_t> pids {0};
            {
                std::lock_guard<std::mutex> g(lock);
                for (auto& [pid, w] : processes)
                    if (w.fd >= 0) {
                        fds.push_back(pollfd {w.fd, POLLIN, 0});
                        pids.push_back(pid);
                    }
            }
            if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
            if (fds[0].revents) {
                uint64_t v;
                [[maybe_unused]] ssize_t n = ::read(wake, &v, sizeof(v));
            }
            for (size_t i = 1; i < fds.size(); ++i) {
                if (!fds[i].revents) continue;
                siginfo_t info {};
                const bool reaped = ::waitid(idtype_t(3) /* P_PIDFD */, id_t(fds[i].fd), &info, WEXITED | WNOHANG) == 0 &&
                                    info.si_pid != 0;
                std::lock_guard<std::mutex> g(lock);
                Watched& w = processes[pids[i]];
                if (reaped) {
                    w.state = info.si_code == CLD_EXITED ? 1 : 2;
                    w.code = info.si_status;
                } else
                    w.state = 3; // ended but not ours to reap
                ::close(w.fd);
                w.fd = -1;
            }
        }
    }
};

Monitor& TheMonitor()
{
    static Monitor* monitor = new Monitor; // its thread lives as long as the process
    return *monitor;
}

} // namespace

int32_t Faultgrove_Initialize(int32_t) { return 0; }
int32_t Faultgrove_Shutdown() { return 0; }

int32_t Faultgrove_StartMonitoringProcess(uint32_t pid)
{
    Monitor& m = TheMonitor();
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid_t(pid), 0));
    if (fd < 0) return -errno;
    std::lock_guard<std::mutex> g(m.lock);
    if (!m.running) {
        m.wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        try {
            std::thread([&m] { m.Run(); }).detach();
        } catch (...) {
            ::close(fd);
            return -ENOMEM;
        }
        m.running = true;
    }
    Watched& w = m.processes[pid];
    if (w.fd >= 0) ::close(w.fd);
    w = Watched {fd, true, 0, 0};
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m.wake, &one, sizeof(one));
    return 0;
}

int32_t Faultgrove_StopMonitoringProcess(uint32_t pid)
{
    Monitor& m = TheMonitor();
    std::lock_guard<std::mutex> g(m.lock);
    auto it = m.processes.find(pid);
    if (it == m.processes.end() || !it->second.monitored) return 1; // nothing to stop
    it->second.monitored = false;
    return 0;
}

int32_t Faultgrove_GetProcessEnd(uint32_t pid, int32_t* state, int32_t* code)
{
    Monitor& m = TheMonitor();
    std::lock_guard<std::mutex> g(m.lock);
    auto it = m.processes.find(pid);
    const int32_t s = it == m.processes.end() ? 3 : it->second.state;
    const int32_t c = it == m.processes.end() ? 0 : it->second.code;
    if (state) *state = s;
    if (code) *code = c;
    return it == m.processes.end() ? 1 : 0;
}

int32_t Faultgrove_StartTrapBypass() { return ++tl_trapBypassDepth; }
int32_t Faultgrove_EndTrapBypass() { return tl_trapBypassDepth > 0 ? --tl_trapBypassDepth : 0; }
