// The server's apartment: its main thread reads every connection, runs every incoming call in order, and
// keeps serving them while it waits for the answer to a call of its own.
#ifndef ZUVST_ZUVSTPS_APARTMENT_H
#define ZUVST_ZUVSTPS_APARTMENT_H

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/ipc.h"
#include "zuvstps/session.h"

namespace zuvst::ps {

class Apartment {
public:
    static Apartment& Get();

    // Makes the calling thread the apartment's thread (once).
    void Enter();
    bool IsApartmentThread() const;

    HRESULT RegisterClassObject(const CLSID& clsid, IUnknown* object, uint32_t* cookie);
    HRESULT RevokeClassObject(uint32_t cookie);

    // A descriptor whose readiness runs onReadable on the apartment's thread.
    void AddWatch(int fd, std::function<void()> onReadable);
    void RemoveWatch(int fd);
    // Runs work on the apartment's thread, in order with the calls (callable from any thread).
    void Post(std::function<void()> work);
    // Called after every session that ended, on the apartment's thread.
    void SetSessionEndedHook(std::function<void()> hook) { m_sessionEnded = std::move(hook); }
    size_t SessionCount() const { return m_sessions.size(); }

    // Serves until the quit message arrives.
    void RunMessageLoop();
    // One round: waits for input at most timeoutMs and handles what arrived.
    void PumpOnce(uint32_t timeoutMs);
    bool QuitReceived() const { return m_quit; }
    void Wake() { m_wake.Notify(); }

    // The connection whose call the apartment's thread runs now (null outside calls).
    std::shared_ptr<Channel> CurrentChannel() const { return m_current; }
    void SessionEnded(Session* session);

private:
    struct Connection {
        std::shared_ptr<Channel> channel;
        std::shared_ptr<Session> session; // null until the handshake
        uint32_t cookie = 0;              // the class object it came for
        uint64_t deadline = 0;            // of the handshake
    };
    struct ClassEntry {
        uint32_t cookie;
        CLSID clsid;
        IUnknown* object;
        int listener;
        std::string path;
    };
    void Accept(const ClassEntry& entry);
    enum class HandshakeOutcome { Refused, Joined, HandedOver };
    HandshakeOutcome Handshake(Connection& c, Incoming& hello);
    void RunPosted();
    void Serve(const std::shared_ptr<Channel>& channel, const std::shared_ptr<Session>& session, Incoming& m);

    uint32_t m_thread = 0;
    platform::WakeSignal m_wake;
    bool m_quit = false;
    std::vector<ClassEntry> m_classes;
    uint32_t m_nextCookie = 1;
    std::vector<Connection> m_connections;
    std::vector<std::shared_ptr<Session>> m_sessions;
    std::vector<std::pair<int, std::function<void()>>> m_watches;
    std::mutex m_postLock;
    std::deque<std::function<void()>> m_posted;
    std::shared_ptr<Channel> m_current;
    std::function<void()> m_sessionEnded;
};

// Host side: connects to the class object registered under clsid, as interface iid.
HRESULT ConnectClassObject(const CLSID& clsid, const IID& iid, void** ppv, uint32_t* serverPid);
// The socket name of a class identifier: its registry text form.
std::string GuidText(const GUID& guid);

} // namespace zuvst::ps

#endif
