// Sessions between one host process and one server: connections, the object table with remote reference
// counts, calls and their answers, and the end of a session when its peer is lost.
#ifndef ZUVST_ZUVSTPS_SESSION_H
#define ZUVST_ZUVSTPS_SESSION_H

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "zuvstps/kinds.h"

namespace zuvst::ps {

struct Incoming {
    MessageHeader header {};
    std::vector<uint8_t> body;
    int fd = -1; // a descriptor that came with an AttachAudio message
};

// One stream connection carrying whole messages. Writes from several threads are serialised.
class Channel {
public:
    explicit Channel(int fd) : m_fd(fd) {}
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    int Fd() const { return m_fd; }
    // Fills in the length and sends the message; false when the connection is gone.
    bool Send(std::vector<uint8_t>& message, int passFd = -1);
    // Blocks for one whole message, with an optional limit for each wait. False at the end of the connection,
    // on a malformed message (the connection is then shut) or at the limit.
    bool Receive(Incoming* out, uint32_t timeoutMs);
    // Reads what is there without blocking and appends the whole messages; false once the connection ended.
    bool ReceiveAvailable(std::vector<Incoming>* out);
    void Shutdown();
    bool Broken() const { return m_broken.load(); }

private:
    bool Extract(Incoming* out, bool* malformed);
    int m_fd;
    std::mutex m_writeLock;
    std::vector<uint8_t> m_buffer;
    size_t m_have = 0;
    std::vector<int> m_fds;
    std::atomic<bool> m_broken {false};
};

void StartMessage(std::vector<uint8_t>* message, MessageKind kind, uint16_t slot, uint32_t callId,
                  uint64_t objectId, int32_t status = 0, uint32_t count = 0);
uint32_t NextCallId();

class AudioLink;
class AudioServer;
class Session;

// What every proxy holds: its session, the peer's object id and the references it owns there.
class ProxyCore {
public:
    ProxyCore(std::shared_ptr<Session> session, uint64_t id, const IID& iid);
    virtual ~ProxyCore();
    ULONG AddRefCore() { return ULONG(++m_refs); }
    ULONG ReleaseCore();
    uint64_t Id() const { return m_id; }
    Session* GetSession() const { return m_session.get(); }

    template <class SlotT> HRESULT InvokeSocket(uint16_t slot, const typename SlotT::Args& args);
    template <class SlotT> HRESULT InvokeAudio(uint16_t slot, const typename SlotT::Args& args);

private:
    friend class Session;
    friend ProxyCore* MakeProxy(const IID&, std::shared_ptr<Session>, uint64_t, IUnknown**);
    HRESULT Exchange(uint16_t slot, std::vector<uint8_t>& message, Incoming* reply);
    HRESULT AudioExchange(std::vector<uint8_t>& message, size_t replyBound, Incoming* reply);
    std::shared_ptr<Session> m_session;
    const uint64_t m_id;
    const IID m_iid;
    IUnknown* m_self = nullptr; // the interface pointer callers hold
    std::atomic<int32_t> m_refs {1};
    uint32_t m_owned = 1; // remote references, guarded by the session's table lock
    std::atomic<bool> m_audioBusy {false}; // one block at a time per effect, without a lock
    std::unique_ptr<AudioLink> m_audio;
};

// Generated per interface (proxies.cpp).
ProxyCore* MakeProxy(const IID& iid, std::shared_ptr<Session> session, uint64_t id, IUnknown** asInterface);
bool ServeSlot(const IID& iid, IUnknown* object, uint16_t slot, Reader& r, Writer& w, CallContext& c,
               HRESULT* status);
bool IsAudioSlot(const IID& iid, uint16_t slot);
bool IsMarshalled(const IID& iid);

class Session : public std::enable_shared_from_this<Session> {
public:
    enum class Side { Host, Server };
    Session(Side side, uint64_t id, std::string path, uint32_t peerPid);
    ~Session();

    Side GetSide() const { return m_side; }
    uint64_t Id() const { return m_id; }
    uint32_t PeerPid() const { return m_peerPid; }
    bool Dead() const { return m_dead.load(); }

    // The connection that serves calls made by the peer outside any call of ours, and releases.
    void SetCallbackChannel(std::shared_ptr<Channel> channel) { m_callback = std::move(channel); }
    void AddChannel(const std::shared_ptr<Channel>& channel);

    // Object table.
    uint64_t ExportObject(IUnknown* object, const IID& iid);
    IUnknown* AddRefExport(uint64_t id, IID* iid); // null when there is no such export
    void ReleaseExport(uint64_t id, uint32_t count);
    bool ReadProxy(uint64_t id, const IID& iid, IUnknown** out);
    // The peer's id of a proxy that belongs to this session; 0 otherwise.
    uint64_t PeerIdOf(IUnknown* object);
    void ProxyGone(ProxyCore* proxy, uint32_t owned);

    // A call on the peer's object: sends the message and waits for its reply, serving the peer's calls that
    // arrive meanwhile as the rules of the calling thread's side say.
    HRESULT Call(std::vector<uint8_t>& message, Incoming* reply, int passFd = -1);
    // Handles a Call, Release or AttachAudio that arrived on channel.
    void Dispatch(const std::shared_ptr<Channel>& channel, Incoming& message);
    // Host side: serves the callback connection until it ends.
    void ServeCallbacks();
    // Server side: a reply that arrived for a waiting caller.
    void DeliverReply(Incoming&& message);
    // The peer is lost (or the session is done): every export released, every wait ended, later calls fail.
    void Terminate();

    // Server side: the audio servers of exports, stopped with them.
    void AttachAudio(uint64_t object, int fd, HRESULT* status);

private:
    struct Export {
        IUnknown* object;
        IID iid;
        uint32_t remote;
        std::shared_ptr<AudioServer> audio;
    };
    HRESULT CallFromHost(std::vector<uint8_t>& message, Incoming* reply, int passFd);
    HRESULT CallFromServer(std::vector<uint8_t>& message, Incoming* reply, int passFd);
    std::shared_ptr<Channel> HostThreadChannel();
    void CloseIfIdle();
    void SendRelease(uint64_t id, uint32_t count);

    const Side m_side;
    const uint64_t m_id;
    const std::string m_path;
    const uint32_t m_peerPid;
    std::atomic<bool> m_dead {false};
    std::shared_ptr<Channel> m_callback;

    std::mutex m_lock; // the tables below
    std::map<uint64_t, Export> m_exports;
    std::map<std::pair<IUnknown*, std::string>, uint64_t> m_exportIds;
    uint64_t m_nextExport = 1;
    std::unordered_map<uint64_t, ProxyCore*> m_proxies;
    std::vector<std::weak_ptr<Channel>> m_channels;
    bool m_everUsed = false;

    // Server side: replies awaited by threads other than the apartment's and by the apartment itself.
    std::condition_variable m_replyArrived;
    std::map<uint32_t, std::unique_ptr<Incoming>> m_replies;

    friend class ProxyCore;
};

// The proxy of an interface pointer of this process, if it is one.
ProxyCore* FindProxy(IUnknown* object);

// A call through a proxy: the request from the arguments, the exchange by its transport, the reply into the
// caller's memory.
template <class SlotT, class Exchange>
HRESULT InvokeWith(Session* session, uint64_t id, uint16_t slot, const typename SlotT::Args& args,
                   std::vector<uint8_t>& message, Incoming& reply, Exchange&& exchange)
{
    if (session->Dead()) return RPC_E_DISCONNECTED;
    message.clear();
    StartMessage(&message, MessageKind::Call, slot, 0, id);
    Writer w(&message);
    CallContext ctx {session};
    HRESULT hr = SlotT::Request(w, ctx, args);
    if (FAILED(hr)) return hr;
    hr = exchange(&reply);
    if (FAILED(hr)) return hr;
    Reader r(reply.body.data(), reply.body.size());
    if (!SlotT::Accept(r, ctx, args, reply.header.status)) return RPC_E_DISCONNECTED;
    return reply.header.status;
}

template <class SlotT> HRESULT ProxyCore::InvokeSocket(uint16_t slot, const typename SlotT::Args& args)
{
    std::vector<uint8_t> message;
    message.reserve(256);
    Incoming reply;
    return InvokeWith<SlotT>(m_session.get(), m_id, slot, args, message, reply,
                             [&](Incoming* r) { return Exchange(slot, message, r); });
}

template <class SlotT> HRESULT ProxyCore::InvokeAudio(uint16_t slot, const typename SlotT::Args& args)
{
    // Block after block: the buffers are kept, so that a block allocates nothing once they have grown.
    thread_local std::vector<uint8_t> message;
    thread_local Incoming reply;
    return InvokeWith<SlotT>(m_session.get(), m_id, slot, args, message, reply, [&](Incoming* r) {
        return AudioExchange(message, sizeof(MessageHeader) + SlotT::ReplyBound(args), r);
    });
}

} // namespace zuvst::ps

#endif
