#include "platform/ipc.h"

#include "platform/sync.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace zuvst::platform {

namespace {

bool FillAddress(const std::string& path, sockaddr_un* address)
{
    std::memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address->sun_path)) return false;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A directory that only we can enter: ours, a real directory, no access for group or others.
bool IsPrivateDirectory(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

int PollTimeout(uint32_t timeoutMs) { return timeoutMs == kInfinite ? -1 : int(std::min<uint32_t>(timeoutMs, INT_MAX)); }

} // namespace

std::string RendezvousDirectory()
{
    std::string dir;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/' && IsPrivateDirectory(runtime))
        dir = std::string(runtime) + "/zuvst";
    else
        dir = "/tmp/zuvst-" + std::to_string(::geteuid());
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
    // A directory someone else made (or opened up) could let them bind our names: refuse it.
    return IsPrivateDirectory(dir) ? dir : std::string();
}

std::string RendezvousPath(const std::string& name)
{
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return {};
    const std::string dir = RendezvousDirectory();
    return dir.empty() ? std::string() : dir + "/" + name;
}

int ListenAt(const std::string& path)
{
    sockaddr_un address;
    if (!FillAddress(path, &address)) return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(fd, 64) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int ConnectTo(const std::string& path, bool* refused)
{
    if (refused) *refused = false;
    sockaddr_un address;
    if (!FillAddress(path, &address)) return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int rc;
    do rc = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (refused) *refused = errno == ECONNREFUSED;
        ::close(fd);
        return -1;
    }
    return fd;
}

int AcceptFrom(int listener)
{
    int fd;
    do fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    // Accepted sockets are read blocking or by poll; the non-blocking flag only served the accept.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool PeerCredentials(int fd, uint32_t* uid, uint32_t* pid)
{
    ucred cred {};
    socklen_t length = sizeof(cred);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof(cred)) return false;
    if (uid) *uid = cred.uid;
    if (pid) *pid = static_cast<uint32_t>(cred.pid);
    return true;
}

uint32_t CurrentUserId() { return ::geteuid(); }
uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }
uint32_t ParentProcessId() { return static_cast<uint32_t>(::getppid()); }

bool SendAll(int fd, const void* data, size_t size, int passFd)
{
    auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        iovec iov {const_cast<uint8_t*>(bytes), size};
        msghdr msg {};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        if (passFd >= 0) {
            std::memset(control, 0, sizeof(control));
            msg.msg_control = control;
            msg.msg_controllen = sizeof(control);
            cmsghdr* c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(c), &passFd, sizeof(int));
        }
        const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        passFd = -1; // the descriptor travelled with the first bytes
        bytes += n;
        size -= size_t(n);
    }
    return true;
}

long ReceiveSome(int fd, void* data, size_t size, bool nonBlocking, std::vector<int>* fds)
{
    for (;;) {
        iovec iov {data, size};
        msghdr msg {};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        const ssize_t n = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC | (nonBlocking ? MSG_DONTWAIT : 0));
        if (n < 0) {
            if (errno == EINTR) continue;
            return (errno == EAGAIN || errno == EWOULDBLOCK) ? -2 : -1;
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
            const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int passed;
                std::memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                if (fds)
                    fds->push_back(passed);
                else
                    ::close(passed);
            }
        }
        return long(n);
    }
}

bool WaitReadable(int fd, uint32_t timeoutMs)
{
    pollfd p {fd, POLLIN, 0};
    int rc;
    do rc = ::poll(&p, 1, PollTimeout(timeoutMs));
    while (rc < 0 && errno == EINTR);
    return rc > 0;
}

bool PollReadable(const std::vector<int>& fds, uint32_t timeoutMs, std::vector<bool>* readable)
{
    std::vector<pollfd> p(fds.size());
    for (size_t i = 0; i < fds.size(); ++i) p[i] = pollfd {fds[i], POLLIN, 0};
    int rc;
    do rc = ::poll(p.data(), p.size(), PollTimeout(timeoutMs));
    while (rc < 0 && errno == EINTR);
    readable->assign(fds.size(), false);
    for (size_t i = 0; i < fds.size(); ++i) (*readable)[i] = p[i].revents != 0;
    return rc > 0;
}

void CloseFd(int fd)
{
    if (fd >= 0) ::close(fd);
}

void ShutdownFd(int fd)
{
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

WakeSignal::WakeSignal() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
WakeSignal::~WakeSignal() { CloseFd(m_fd); }

void WakeSignal::Notify()
{
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_fd, &one, sizeof(one));
}

void WakeSignal::Drain()
{
    uint64_t value;
    [[maybe_unused]] ssize_t n = ::read(m_fd, &value, sizeof(value));
}

bool CreateSharedMemory(size_t size, SharedMemory* out)
{
    const int fd = static_cast<int>(::syscall(SYS_memfd_create, "zuvst-audio", MFD_CLOEXEC));
    if (fd < 0) return false;
    if (::ftruncate(fd, off_t(size)) != 0) {
        ::close(fd);
        return false;
    }
    void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        ::close(fd);
        return false;
    }
    *out = SharedMemory {fd, base, size};
    return true;
}

bool MapSharedMemory(int fd, SharedMemory* out)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size <= 0) {
        ::close(fd);
        return false;
    }
    void* base = ::mmap(nullptr, size_t(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        ::close(fd);
        return false;
    }
    *out = SharedMemory {fd, base, size_t(st.st_size)};
    return true;
}

void ReleaseSharedMemory(SharedMemory* memory)
{
    if (memory->base) ::munmap(memory->base, memory->size);
    CloseFd(memory->fd);
    *memory = SharedMemory {};
}

void FutexWait(std::atomic<uint32_t>* word, uint32_t expected, uint32_t timeoutMs)
{
    timespec limit {};
    if (timeoutMs != kInfinite) {
        limit.tv_sec = timeoutMs / 1000;
        limit.tv_nsec = long(timeoutMs % 1000) * 1000000L;
    }
    // Not the private form: the word may be shared with another process.
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT, expected,
              timeoutMs == kInfinite ? nullptr : &limit, nullptr, 0);
}

void FutexWake(std::atomic<uint32_t>* word)
{
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

int OpenProcessWatch(uint32_t pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid_t(pid), 0));
}

bool ReapEnded(int processWatch, bool* signalled, int32_t* code)
{
    siginfo_t info {};
    if (::waitid(idtype_t(3) /* P_PIDFD */, id_t(processWatch), &info, WEXITED | WNOHANG) != 0) return false;
    if (info.si_pid == 0) return false; // still running
    *signalled = info.si_code != CLD_EXITED;
    *code = info.si_status;
    return true;
}

bool ProcessAlive(uint32_t pid) { return pid != 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM); }

int WatchCloseSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
    return ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

int TakeCloseSignal(int fd)
{
    signalfd_siginfo info {};
    return ::read(fd, &info, sizeof(info)) == ssize_t(sizeof(info)) ? int(info.ssi_signo) : 0;
}

int CreateNamedEvent(const std::string& name)
{
    const std::string path = RendezvousPath(name);
    return path.empty() ? -1 : ListenAt(path);
}

bool SetNamedEvent(const std::string& name)
{
    const std::string path = RendezvousPath(name);
    if (path.empty()) return false;
    const int fd = ConnectTo(path);
    if (fd < 0) return false;
    const char set = 1;
    const bool sent = SendAll(fd, &set, 1);
    ::close(fd);
    return sent;
}

bool WaitNamedEvent(int event, uint32_t timeoutMs)
{
    const uint64_t deadline = MonotonicMillis() + timeoutMs;
    for (;;) {
        const uint64_t now = MonotonicMillis();
        if (now >= deadline || !WaitReadable(event, uint32_t(deadline - now))) return false;
        const int fd = AcceptFrom(event);
        if (fd < 0) continue;
        uint32_t uid = ~0u;
        char set = 0;
        // Only a process of our user sets our events; the byte is read within what is left of the wait.
        const uint64_t left = MonotonicMillis() < deadline ? deadline - MonotonicMillis() : 0;
        const bool ok = PeerCredentials(fd, &uid, nullptr) && uid == CurrentUserId() && WaitReadable(fd, uint32_t(left)) &&
                        ReceiveSome(fd, &set, 1, true, nullptr) == 1;
        ::close(fd);
        if (ok) return true;
    }
}

void CloseNamedEvent(int event, const std::string& name)
{
    if (event < 0) return;
    const std::string path = RendezvousPath(name);
    if (!path.empty()) ::unlink(path.c_str());
    ::close(event);
}

bool IsExecutableFile(const std::string& path)
{
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

} // namespace zuvst::platform
