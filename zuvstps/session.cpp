#include "zuvstps/session.h"

#include <random>
#include <thread>

#include "platform/ipc.h"
#include "platform/sync.h"
#include "zuvstps/apartment.h"
#include "zuvstps/audio.h"

namespace zuvst::ps {

namespace {

constexpr uint8_t kTagNull = 0, kTagSenders = 1, kTagReceivers = 2;

std::mutex g_proxyLock;
std::unordered_map<IUnknown*, ProxyCore*>& LiveProxies()
{
    static auto* map = new std::unordered_map<IUnknown*, ProxyCore*>;
    return *map;
}

std::string IidKey(const IID& iid) { return std::string(reinterpret_cast<const char*>(&iid), sizeof(IID)); }

bool ValidKind(uint16_t kind) { return kind >= uint16_t(MessageKind::Hello) && kind <= uint16_t(MessageKind::AttachAudio); }

// Host side: each thread calls through a connection of its own, so that it alone reads the answers.
struct ThreadChannels {
    std::unordered_map<uint64_t, std::shared_ptr<Channel>> bySession;
};
thread_local ThreadChannels tl_channels;

// The host's side of a handshake: says hello and takes the server's welcome, within five seconds.
bool Greet(Channel& channel, const HelloRecord& record, WelcomeRecord* w)
{
    std::vector<uint8_t> hello;
    StartMessage(&hello, MessageKind::Hello, 0, 0, 0);
    Writer(&hello).Put(record);
    Incoming welcome;
    if (!channel.Send(hello) || !channel.Receive(&welcome, 5000) ||
        welcome.header.kind != uint16_t(MessageKind::Welcome) || welcome.body.size() != sizeof(*w))
        return false;
    std::memcpy(w, welcome.body.data(), sizeof(*w));
    return w->magic == kProtocolMagic && w->version == kProtocolVersion;
}

} // namespace

// ---- connections ----

Channel::~Channel()
{
    platform::CloseFd(m_fd);
    for (int fd : m_fds) platform::CloseFd(fd);
}

bool Channel::Send(std::vector<uint8_t>& message, int passFd)
{
    auto* header = reinterpret_cast<MessageHeader*>(message.data());
    header->length = uint32_t(message.size());
    std::lock_guard<std::mutex> g(m_writeLock);
    if (m_broken.load()) return false;
    if (!platform::SendAll(m_fd, message.data(), message.size(), passFd)) {
        m_broken.store(true);
        return false;
    }
    return true;
}

bool Channel::Extract(Incoming* out, bool* malformed)
{
    *malformed = false;
    if (m_have < sizeof(MessageHeader)) return false;
    MessageHeader h;
    std::memcpy(&h, m_buffer.data(), sizeof(h));
    if (h.length < sizeof(MessageHeader) || h.length > kMaxMessageBytes || !ValidKind(h.kind)) {
        *malformed = true;
        return false;
    }
    if (m_have < h.length) return false;
    out->header = h;
    out->body.assign(m_buffer.begin() + sizeof(MessageHeader), m_buffer.begin() + h.length);
    out->fd = -1;
    if (h.kind == uint16_t(MessageKind::AttachAudio) && !m_fds.empty()) {
        out->fd = m_fds.front();
        m_fds.erase(m_fds.begin());
    }
    std::memmove(m_buffer.data(), m_buffer.data() + h.length, m_have - h.length);
    m_have -= h.length;
    return true;
}

bool Channel::Receive(Incoming* out, uint32_t timeoutMs)
{
    for (;;) {
        bool malformed;
        if (Extract(out, &malformed)) return true;
        if (malformed) {
            Shutdown();
            return false;
        }
        if (m_broken.load()) return false;
        if (timeoutMs != platform::kInfinite && !platform::WaitReadable(m_fd, timeoutMs)) return false;
        if (m_buffer.size() < m_have + 65536) m_buffer.resize(m_have + 65536);
        const long n = platform::ReceiveSome(m_fd, m_buffer.data() + m_have, m_buffer.size() - m_have, false, &m_fds);
        if (n <= 0) {
            m_broken.store(true);
            return false;
        }
        m_have += size_t(n);
    }
}

bool Channel::ReceiveAvailable(std::vector<Incoming>* out)
{
    for (;;) {
        if (m_buffer.size() < m_have + 65536) m_buffer.resize(m_have + 65536);
        const long n = platform::ReceiveSome(m_fd, m_buffer.data() + m_have, m_buffer.size() - m_have, true, &m_fds);
        if (n == -2) break;
        if (n <= 0) {
            m_broken.store(true);
            break;
        }
        m_have += size_t(n);
    }
    for (;;) {
        Incoming m;
        bool malformed;
        if (!Extract(&m, &malformed)) {
            if (malformed) {
                Shutdown();
                return false;
            }
            break;
        }
        out->push_back(std::move(m));
    }
    // Whole messages that arrived before the end are still handled.
    return !m_broken.load() || !out->empty();
}

void Channel::Shutdown()
{
    m_broken.store(true);
    platform::ShutdownFd(m_fd);
}

void StartMessage(std::vector<uint8_t>* message, MessageKind kind, uint16_t slot, uint32_t callId, uint64_t objectId,
                  int32_t status, uint32_t count)
{
    MessageHeader h {};
    h.kind = uint16_t(kind);
    h.slot = slot;
    h.callId = callId;
    h.status = status;
    h.objectId = objectId;
    h.count = count;
    message->resize(sizeof(h));
    std::memcpy(message->data(), &h, sizeof(h));
}

uint32_t NextCallId()
{
    static std::atomic<uint32_t> next {1};
    uint32_t id = next.fetch_add(1);
    return id ? id : next.fetch_add(1);
}

HelloRecord MakeHello(uint32_t role, uint64_t session, const IID& requested)
{
    return HelloRecord {kProtocolMagic, kProtocolVersion, sizeof(ZUVSTEFFECTINFO), sizeof(ZUVSTPARAMPROPS),
                        sizeof(ZUVSTTIMEINFO), role, session, requested};
}

bool HelloMatches(const HelloRecord& h)
{
    return h.magic == kProtocolMagic && h.version == kProtocolVersion && h.effectInfoSize == sizeof(ZUVSTEFFECTINFO) &&
           h.paramPropsSize == sizeof(ZUVSTPARAMPROPS) && h.timeInfoSize == sizeof(ZUVSTTIMEINFO) &&
           (h.role == kRoleOpen || h.role == kRoleJoin);
}

// ---- proxies ----

ProxyCore::ProxyCore(std::shared_ptr<Session> session, uint64_t id, const IID& iid)
    : m_session(std::move(session)), m_id(id), m_iid(iid)
{
}

ProxyCore::~ProxyCore() = default;

ULONG ProxyCore::ReleaseCore()
{
    // The count falls to zero under the table lock, so that a reply naming this object again either finds
    // the proxy alive or makes a new one.
    std::unique_lock<std::mutex> g(m_session->m_lock);
    const int32_t left = --m_refs;
    if (left > 0) return ULONG(left);
    m_session->m_proxies.erase(m_id);
    const uint32_t owned = m_owned;
    g.unlock();
    m_session->ProxyGone(this, owned);
    delete this;
    return 0;
}

HRESULT ProxyCore::Exchange(uint16_t, std::vector<uint8_t>& message, Incoming* reply)
{
    return m_session->Call(message, reply);
}

ProxyCore* FindProxy(IUnknown* object)
{
    std::lock_guard<std::mutex> g(g_proxyLock);
    auto it = LiveProxies().find(object);
    return it == LiveProxies().end() ? nullptr : it->second;
}

// ---- interface pointers in messages ----

void WriteInterface(Writer& w, CallContext& ctx, IUnknown* object, const IID& iid)
{
    if (!object) {
        w.Put(kTagNull);
        return;
    }
    if (const uint64_t peerId = ctx.session->PeerIdOf(object)) {
        w.Put(kTagReceivers); // the peer's own object comes home as itself
        w.Put(peerId);
        return;
    }
    w.Put(kTagSenders);
    w.Put(ctx.session->ExportObject(object, iid));
    w.Put(iid);
}

bool ReadInterface(Reader& r, CallContext& ctx, IUnknown** out)
{
    *out = nullptr;
    uint8_t tag;
    uint64_t id;
    if (!r.Get(&tag)) return false;
    if (tag == kTagNull) return true;
    if (!r.Get(&id)) return false;
    if (tag == kTagReceivers) {
        IID iid;
        *out = ctx.session->AddRefExport(id, &iid);
        return *out != nullptr;
    }
    IID iid;
    if (tag != kTagSenders || !r.Get(&iid)) return false;
    return ctx.session->ReadProxy(id, iid, out);
}

// ---- sessions ----

Session::Session(Side side, uint64_t id, std::string path, uint32_t peerPid)
    : m_side(side), m_id(id), m_path(std::move(path)), m_peerPid(peerPid)
{
}

Session::~Session() = default;

void Session::AddChannel(const std::shared_ptr<Channel>& channel)
{
    std::lock_guard<std::mutex> g(m_lock);
    m_channels.push_back(channel);
}

uint64_t Session::ExportObject(IUnknown* object, const IID& iid)
{
    std::lock_guard<std::mutex> g(m_lock);
    m_everUsed = true;
    const auto key = std::make_pair(object, IidKey(iid));
    auto found = m_exportIds.find(key);
    if (found != m_exportIds.end()) {
        ++m_exports[found->second].remote;
        return found->second;
    }
    const uint64_t id = m_nextExport++;
    object->AddRef(); // the table's own reference, given back when the peer has released every one of its
    m_exports[id] = Export {object, iid, 1, nullptr};
    m_exportIds[key] = id;
    return id;
}

IUnknown* Session::AddRefExport(uint64_t id, IID* iid)
{
    std::lock_guard<std::mutex> g(m_lock);
    auto it = m_exports.find(id);
    if (it == m_exports.end()) return nullptr;
    if (iid) *iid = it->second.iid;
    it->second.object->AddRef();
    return it->second.object;
}

void Session::ReleaseExport(uint64_t id, uint32_t count)
{
    IUnknown* released = nullptr;
    std::shared_ptr<AudioServer> audio;
    {
        std::lock_guard<std::mutex> g(m_lock);
        auto it = m_exports.find(id);
        if (it == m_exports.end()) return; // a peer that miscounts harms only its own objects
        Export& e = it->second;
        e.remote = count >= e.remote ? 0 : e.remote - count;
        if (e.remote != 0) return;
        released = e.object;
        audio = std::move(e.audio);
        m_exportIds.erase(std::make_pair(e.object, IidKey(e.iid)));
        m_exports.erase(it);
    }
    if (audio) audio->Stop();
    released->Release();
    CloseIfIdle();
}

bool Session::ReadProxy(uint64_t id, const IID& iid, IUnknown** out)
{
    std::unique_lock<std::mutex> g(m_lock);
    m_everUsed = true;
    auto it = m_proxies.find(id);
    if (it != m_proxies.end()) {
        ++it->second->m_owned;
        it->second->AddRefCore();
        *out = it->second->m_self;
        return true;
    }
    IUnknown* pointer = nullptr;
    ProxyCore* core = IsMarshalled(iid) ? MakeProxy(iid, shared_from_this(), id, &pointer) : nullptr;
    if (!core) {
        g.unlock();
        SendRelease(id, 1); // an interface we cannot carry: its reference goes straight back
        return false;
    }
    m_proxies[id] = core;
    {
        std::lock_guard<std::mutex> p(g_proxyLock);
        LiveProxies()[pointer] = core;
    }
    *out = pointer;
    return true;
}

uint64_t Session::PeerIdOf(IUnknown* object)
{
    ProxyCore* core = FindProxy(object);
    return core && core->GetSession() == this ? core->Id() : 0;
}

void Session::ProxyGone(ProxyCore* proxy, uint32_t owned)
{
    {
        std::lock_guard<std::mutex> p(g_proxyLock);
        LiveProxies().erase(proxy->m_self);
    }
    if (!Dead()) SendRelease(proxy->Id(), owned);
    CloseIfIdle();
}

void Session::SendRelease(uint64_t id, uint32_t count)
{
    // A release waits for the peer to have let go, as one in this process would: what the object held
    // (a host's master, say) is given back before the caller goes on.
    std::vector<uint8_t> message;
    StartMessage(&message, MessageKind::Release, 0, 0, id, 0, count);
    Incoming reply;
    Call(message, &reply);
}

void Session::CloseIfIdle()
{
    // A host's session ends once neither side holds anything of the other: the server then sees the
    // connection end and forgets the session.
    if (m_side != Side::Host) return;
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (!m_everUsed || !m_exports.empty() || !m_proxies.empty()) return;
    }
    if (auto channel = m_callback) channel->Shutdown();
}

HRESULT Session::Call(std::vector<uint8_t>& message, Incoming* reply, int passFd)
{
    if (Dead()) return RPC_E_DISCONNECTED;
    auto* header = reinterpret_cast<MessageHeader*>(message.data());
    header->callId = NextCallId();
    return m_side == Side::Host ? CallFromHost(message, reply, passFd) : CallFromServer(message, reply, passFd);
}

std::shared_ptr<Channel> Session::HostThreadChannel()
{
    auto& mine = tl_channels.bySession;
    auto it = mine.find(m_id);
    if (it != mine.end() && !it->second->Broken()) return it->second;
    // Connections of sessions that ended are dropped as new ones are made.
    for (auto j = mine.begin(); j != mine.end();) j = j->second->Broken() ? mine.erase(j) : std::next(j);
    const int fd = platform::ConnectTo(m_path);
    if (fd < 0) return nullptr;
    auto channel = std::make_shared<Channel>(fd);
    WelcomeRecord w {};
    if (!Greet(*channel, MakeHello(kRoleJoin, m_id, IID {}), &w) || w.status != S_OK || w.session != m_id)
        return nullptr;
    AddChannel(channel);
    mine[m_id] = channel;
    return channel;
}

HRESULT Session::CallFromHost(std::vector<uint8_t>& message, Incoming* reply, int passFd)
{
    auto channel = HostThreadChannel();
    if (!channel) return RPC_E_DISCONNECTED;
    const uint32_t callId = reinterpret_cast<MessageHeader*>(message.data())->callId;
    if (!channel->Send(message, passFd)) return RPC_E_DISCONNECTED;
    // This thread alone reads its connection: the answer, or the server's calls made inside this call.
    for (;;) {
        Incoming m;
        if (!channel->Receive(&m, platform::kInfinite)) return RPC_E_DISCONNECTED;
        if (m.header.kind == uint16_t(MessageKind::Reply)) {
            if (m.header.callId != callId) {
                channel->Shutdown(); // an answer to nothing we asked
                return RPC_E_DISCONNECTED;
            }
            *reply = std::move(m);
            return S_OK;
        }
        Dispatch(channel, m);
    }
}

HRESULT Session::CallFromServer(std::vector<uint8_t>& message, Incoming* reply, int passFd)
{
    Apartment& apartment = Apartment::Get();
    const uint32_t callId = reinterpret_cast<MessageHeader*>(message.data())->callId;
    const bool onApartment = apartment.IsApartmentThread();
    // Inside a call from the host, the apartment answers through that call's connection, where the host
    // thread that waits will serve it; everything else goes through the callback connection.
    std::shared_ptr<Channel> channel = onApartment ? apartment.CurrentChannel() : nullptr;
    {
        std::lock_guard<std::mutex> g(m_lock);
        bool ours = false;
        for (auto& weak : m_channels)
            if (channel && weak.lock() == channel) ours = true;
        if (!ours) channel = m_callback;
        m_replies[callId] = nullptr;
    }
    const auto forget = [&] {
        std::lock_guard<std::mutex> g(m_lock);
        m_replies.erase(callId);
    };
    if (!channel || !channel->Send(message, passFd)) {
        forget();
        return RPC_E_DISCONNECTED;
    }
    for (;;) {
        {
            std::unique_lock<std::mutex> g(m_lock);
            auto it = m_replies.find(callId);
            if (it != m_replies.end() && it->second) {
                *reply = std::move(*it->second);
                m_replies.erase(it);
                return S_OK;
            }
            if (Dead()) {
                m_replies.erase(callId);
                return RPC_E_DISCONNECTED;
            }
            if (!onApartment) {
                m_replyArrived.wait_for(g, std::chrono::milliseconds(100));
                continue;
            }
        }
        apartment.PumpOnce(platform::kInfinite);
    }
}

void Session::DeliverReply(Incoming&& message)
{
    {
        std::lock_guard<std::mutex> g(m_lock);
        auto it = m_replies.find(message.header.callId);
        if (it == m_replies.end() || it->second) return; // nobody waits for it
        it->second = std::make_unique<Incoming>(std::move(message));
    }
    m_replyArrived.notify_all();
    Apartment::Get().Wake();
}

void Session::Dispatch(const std::shared_ptr<Channel>& channel, Incoming& m)
{
    const MessageKind kind = MessageKind(m.header.kind);
    std::vector<uint8_t> reply;
    if (kind == MessageKind::Release) {
        ReleaseExport(m.header.objectId, m.header.count);
        StartMessage(&reply, MessageKind::Reply, 0, m.header.callId, m.header.objectId);
        channel->Send(reply);
        return;
    }
    if (kind == MessageKind::AttachAudio) {
        HRESULT status = E_INVALIDARG;
        if (m_side == Side::Server && m.fd >= 0) {
            AttachAudio(m.header.objectId, m.fd, &status);
            m.fd = -1;
        }
        platform::CloseFd(m.fd);
        StartMessage(&reply, MessageKind::Reply, 0, m.header.callId, m.header.objectId, status);
        channel->Send(reply);
        return;
    }
    if (kind != MessageKind::Call) {
        channel->Shutdown();
        return;
    }
    IID iid;
    IUnknown* object = AddRefExport(m.header.objectId, &iid);
    StartMessage(&reply, MessageKind::Reply, m.header.slot, m.header.callId, m.header.objectId);
    HRESULT status = RPC_E_DISCONNECTED; // an object released meanwhile has left its clients
    if (object) {
        Writer w(&reply);
        Reader r(m.body.data(), m.body.size());
        CallContext ctx {this};
        const bool served = ServeSlot(iid, object, m.header.slot, r, w, ctx, &status);
        object->Release();
        if (!served) {
            channel->Shutdown(); // a request that does not fit its slot ends that connection only
            return;
        }
    }
    reinterpret_cast<MessageHeader*>(reply.data())->status = status;
    channel->Send(reply);
}

void Session::ServeCallbacks()
{
    auto channel = m_callback;
    for (;;) {
        Incoming m;
        if (!channel->Receive(&m, platform::kInfinite)) break;
        if (m.header.kind == uint16_t(MessageKind::Reply)) break; // this connection's own calls nest inside
        Dispatch(channel, m);
    }
    Terminate();
}

void Session::Terminate()
{
    if (m_dead.exchange(true)) return;
    std::vector<Export> exports;
    std::vector<std::shared_ptr<Channel>> channels;
    {
        std::lock_guard<std::mutex> g(m_lock);
        for (auto& [id, e] : m_exports) exports.push_back(std::move(e));
        m_exports.clear();
        m_exportIds.clear();
        for (auto& weak : m_channels)
            if (auto c = weak.lock()) channels.push_back(c);
    }
    if (m_callback) m_callback->Shutdown();
    for (auto& c : channels) c->Shutdown();
    m_replyArrived.notify_all();
    // What the peer held is released here: its references went with it.
    for (Export& e : exports) {
        if (e.audio) e.audio->Stop();
        e.object->Release();
    }
    if (m_side == Side::Server) Apartment::Get().SessionEnded(this);
}

void Session::AttachAudio(uint64_t object, int fd, HRESULT* status)
{
    std::shared_ptr<AudioServer> previous, created;
    IUnknown* effect = nullptr;
    {
        std::lock_guard<std::mutex> g(m_lock);
        auto it = m_exports.find(object);
        if (it == m_exports.end() || !IsAudioSlot(it->second.iid, 23)) {
            platform::CloseFd(fd);
            *status = E_INVALIDARG;
            return;
        }
        effect = it->second.object;
        previous = std::move(it->second.audio);
    }
    if (previous) previous->Stop();
    created = AudioServer::Start(shared_from_this(), effect, fd, status);
    std::lock_guard<std::mutex> g(m_lock);
    auto it = m_exports.find(object);
    if (it != m_exports.end())
        it->second.audio = created;
    else if (created)
        created->Stop();
}

// ---- the host's side of connecting ----

HRESULT ConnectClassObject(const CLSID& clsid, const IID& iid, void** ppv, uint32_t* serverPid)
{
    constexpr HRESULT kClassNotRegistered = ZU_HR(0x80040154);
    if (ppv) *ppv = nullptr;
    if (serverPid) *serverPid = 0;
    if (!ppv) return E_INVALIDARG;
    const std::string path = platform::RendezvousPath(GuidText(clsid));
    if (path.empty()) return E_FAIL;
    bool refused = false;
    const int fd = platform::ConnectTo(path, &refused);
    if (fd < 0) {
        // A socket file nobody listens at is what a server that ended left behind.
        if (refused) ::unlink(path.c_str());
        return kClassNotRegistered;
    }
    auto channel = std::make_shared<Channel>(fd);
    WelcomeRecord w {};
    if (!Greet(*channel, MakeHello(kRoleOpen, 0, iid), &w)) return RPC_E_DISCONNECTED;
    if (FAILED(w.status)) return w.status;
    auto session = std::make_shared<Session>(Session::Side::Host, w.session, path, w.pid);
    session->SetCallbackChannel(channel);
    IUnknown* object = nullptr;
    if (!session->ReadProxy(w.object, iid, &object)) return E_NOINTERFACE;
    try {
        std::thread([session] { session->ServeCallbacks(); }).detach();
    } catch (...) {
        object->Release();
        session->Terminate();
        return E_OUTOFMEMORY;
    }
    *ppv = object;
    if (serverPid) *serverPid = w.pid;
    return S_OK;
}

std::string GuidText(const GUID& g)
{
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

} // namespace zuvst::ps
