// The audio path between processes: one shared block per effect, a request and a reply doorbell on it.
#ifndef ZUVST_ZUVSTPS_AUDIO_H
#define ZUVST_ZUVSTPS_AUDIO_H

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/ipc.h"
#include "zuvstps/session.h"

namespace zuvst::ps {

// The head of the shared block; the message area follows it and carries a request, then its reply.
struct AudioBlockHead {
    std::atomic<uint32_t> request; // bumped by the host once a request is in the area
    std::atomic<uint32_t> reply;   // set by the server to the request's number once the reply is there
    uint32_t reserved[14];
};
static_assert(sizeof(AudioBlockHead) == 64, "layout");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "doorbells are plain words in shared memory");

// Host side: the block of one effect proxy, made on its first block of audio and grown as blocks grow.
class AudioLink {
public:
    ~AudioLink();
    // Sends the request and waits for the reply; fails at once when the session is lost.
    HRESULT Exchange(Session& session, uint64_t object, std::vector<uint8_t>& request, size_t replyBound,
                     Incoming* reply);

private:
    HRESULT Ensure(Session& session, uint64_t object, size_t bytes);
    platform::SharedMemory m_memory;
    uint32_t m_sequence = 0;
};

// Server side: the thread that serves one effect's audio from its block.
class AudioServer : public std::enable_shared_from_this<AudioServer> {
public:
    static std::shared_ptr<AudioServer> Start(std::shared_ptr<Session> session, IUnknown* effect, int fd,
                                              HRESULT* status);
    ~AudioServer();
    // Ends the thread after the block it serves, if any, and gives its reference of the effect back, on the
    // apartment's thread: here when the thread ends within the limit, else when it does.
    void Stop(uint32_t waitMs = 2000);

private:
    void Run();
    std::shared_ptr<Session> m_session;
    IUnknown* m_effect = nullptr;
    platform::SharedMemory m_memory;
    std::atomic<bool> m_stop {false};
    std::mutex m_lock;
    std::condition_variable m_ended;
    bool m_done = false;      // the thread has left its loop
    bool m_abandoned = false; // Stop gave up waiting: the thread gives the effect back itself
};

} // namespace zuvst::ps

#endif
