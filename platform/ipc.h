// Between processes: the per-user rendezvous directory, Unix-domain stream sockets with peer checks and
// descriptor passing, shared memory and futex doorbells on it.
#ifndef ZUVST_PLATFORM_IPC_H
#define ZUVST_PLATFORM_IPC_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zuvst::platform {

// $XDG_RUNTIME_DIR/zuvst, else /tmp/zuvst-<uid>: made with mode 0700 when missing; empty when it exists but
// is not a directory of ours that others cannot enter.
std::string RendezvousDirectory();
// The socket file of a named object in that directory; empty when the directory is unusable or the name is
// not a plain file name.
std::string RendezvousPath(const std::string& name);

// A listening socket bound at path (a stale file there is replaced); -1 on failure.
int ListenAt(const std::string& path);
// Connects to a listening socket; -1 on failure, with *refused set when nobody listens there.
int ConnectTo(const std::string& path, bool* refused = nullptr);
// Accepts one pending connection; -1 when none is pending or on failure.
int AcceptFrom(int listener);
// The user id and process id of a connected peer; false when they cannot be read.
bool PeerCredentials(int fd, uint32_t* uid, uint32_t* pid);
uint32_t CurrentUserId();
uint32_t CurrentProcessId();

// Writes every byte (and, with passFd >= 0, that descriptor along with them); false when the peer is gone.
bool SendAll(int fd, const void* data, size_t size, int passFd = -1);
// Reads what is there (blocking unless nonBlocking), collecting passed descriptors. Returns the bytes read,
// 0 at the end of the stream, -1 on an error, -2 when a non-blocking read found nothing.
long ReceiveSome(int fd, void* data, size_t size, bool nonBlocking, std::vector<int>* fds);
// Waits until fd is readable or the time passes (kInfinite waits for ever); false on time-out.
bool WaitReadable(int fd, uint32_t timeoutMs);
void CloseFd(int fd);
void ShutdownFd(int fd);

// One poll over several descriptors: readable[i] reports each. Returns false on time-out.
bool PollReadable(const std::vector<int>& fds, uint32_t timeoutMs, std::vector<bool>* readable);

// A counter that wakes a poll: Notify makes its descriptor readable until Drain.
class WakeSignal {
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;
    int Fd() const { return m_fd; }
    void Notify();
    void Drain();

private:
    int m_fd = -1;
};

// An anonymous shared mapping that can be handed to another process as a descriptor.
struct SharedMemory {
    int fd = -1;
    void* base = nullptr;
    size_t size = 0;
};
bool CreateSharedMemory(size_t size, SharedMemory* out);
// Maps a received descriptor (its size read from the descriptor); takes the descriptor.
bool MapSharedMemory(int fd, SharedMemory* out);
void ReleaseSharedMemory(SharedMemory* memory);

// Futex doorbells on words that may lie in shared memory. FutexWait returns when *word differs from
// expected, when woken, or after timeoutMs (kInfinite: no limit).
void FutexWait(std::atomic<uint32_t>* word, uint32_t expected, uint32_t timeoutMs);
void FutexWake(std::atomic<uint32_t>* word);

// Process watching: a descriptor that becomes readable when the process ends; -1 when it cannot be had.
int OpenProcessWatch(uint32_t pid);
// For a child of ours that has ended: reaps it and reports how. False while it runs or when it is not ours.
bool ReapEnded(int processWatch, bool* signalled, int32_t* code);
bool ProcessAlive(uint32_t pid);
uint32_t ParentProcessId();

} // namespace zuvst::platform

#endif

namespace zuvst::platform {
// Blocks SIGINT, SIGTERM and SIGHUP for the calling thread (and threads it starts later) and returns a
// descriptor that becomes readable when one arrives; -1 on failure.
int WatchCloseSignals();
// Takes the pending signal's number from that descriptor; 0 when none.
int TakeCloseSignal(int fd);
// A ready event between processes: a socket under the event's name. Setting it connects and sends one byte.
int CreateNamedEvent(const std::string& name);
bool SetNamedEvent(const std::string& name);
// Waits until some process of our user has set the event; false on time-out.
bool WaitNamedEvent(int event, uint32_t timeoutMs);
void CloseNamedEvent(int event, const std::string& name);
bool IsExecutableFile(const std::string& path);
} // namespace zuvst::platform
