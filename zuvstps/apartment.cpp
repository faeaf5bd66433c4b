#include "zuvstps/apartment.h"

#include <random>

#include "platform/sync.h"

namespace zuvst::ps {

namespace {
constexpr uint32_t kHandshakeMs = 2000;

uint64_t NewSessionId()
{
    static std::mt19937_64 generator {std::random_device {}()};
    uint64_t id = 0;
    while (id == 0) id = generator();
    return id;
}
} // namespace

Apartment& Apartment::Get()
{
    static Apartment* apartment = new Apartment; // threads may still post while statics are torn down
    return *apartment;
}

void Apartment::Enter()
{
    if (m_thread) return;
    m_thread = platform::CurrentThreadId();
    // Posted and sent messages wake the poll, as the probe worker and the lifetime rule use them.
    platform::SetMessageQueueWake([this] { m_wake.Notify(); });
}

bool Apartment::IsApartmentThread() const { return m_thread != 0 && platform::CurrentThreadId() == m_thread; }

HRESULT Apartment::RegisterClassObject(const CLSID& clsid, IUnknown* object, uint32_t* cookie)
{
    if (cookie) *cookie = 0;
    if (!object) return E_INVALIDARG;
    const std::string path = platform::RendezvousPath(GuidText(clsid));
    if (path.empty()) return E_FAIL;
    const int listener = platform::ListenAt(path);
    if (listener < 0) return E_FAIL;
    object->AddRef();
    const uint32_t id = m_nextCookie++;
    m_classes.push_back(ClassEntry {id, clsid, object, listener, path});
    if (cookie) *cookie = id;
    m_wake.Notify();
    return S_OK;
}

HRESULT Apartment::RevokeClassObject(uint32_t cookie)
{
    for (auto it = m_classes.begin(); it != m_classes.end(); ++it) {
        if (it->cookie != cookie) continue;
        ::unlink(it->path.c_str());
        platform::CloseFd(it->listener);
        it->object->Release();
        m_classes.erase(it);
        return S_OK;
    }
    return E_INVALIDARG;
}

void Apartment::AddWatch(int fd, std::function<void()> onReadable) { m_watches.emplace_back(fd, std::move(onReadable)); }

void Apartment::RemoveWatch(int fd)
{
    for (auto it = m_watches.begin(); it != m_watches.end(); ++it)
        if (it->first == fd) {
            m_watches.erase(it);
            return;
        }
}

void Apartment::Post(std::function<void()> work)
{
    {
        std::lock_guard<std::mutex> g(m_postLock);
        m_posted.push_back(std::move(work));
    }
    m_wake.Notify();
}

void Apartment::RunPosted()
{
    for (;;) {
        std::function<void()> work;
        {
            std::lock_guard<std::mutex> g(m_postLock);
            if (m_posted.empty()) return;
            work = std::move(m_posted.front());
            m_posted.pop_front();
        }
        work();
    }
}

void Apartment::RunMessageLoop()
{
    Enter();
    while (!m_quit) PumpOnce(platform::kInfinite);
}

void Apartment::Accept(const ClassEntry& entry)
{
    const int fd = platform::AcceptFrom(entry.listener);
    if (fd < 0) return;
    uint32_t uid = ~0u;
    // Only our own user may reach our objects.
    if (!platform::PeerCredentials(fd, &uid, nullptr) || uid != platform::CurrentUserId()) {
        platform::CloseFd(fd);
        return;
    }
    m_connections.push_back(
        Connection {std::make_shared<Channel>(fd), nullptr, entry.cookie, platform::MonotonicMillis() + kHandshakeMs});
}

Apartment::HandshakeOutcome Apartment::Handshake(Connection& c, Incoming& m)
{
    HelloRecord hello {};
    if (m.header.kind != uint16_t(MessageKind::Hello) || m.body.size() != sizeof(hello)) return HandshakeOutcome::Refused;
    std::memcpy(&hello, m.body.data(), sizeof(hello));
    if (!HelloMatches(hello)) return HandshakeOutcome::Refused;
    uint32_t peerPid = 0;
    platform::PeerCredentials(c.channel->Fd(), nullptr, &peerPid);
    WelcomeRecord welcome {kProtocolMagic, kProtocolVersion, S_OK, platform::CurrentProcessId(), 0, 0};
    std::vector<uint8_t> reply;
    StartMessage(&reply, MessageKind::Welcome, 0, 0, 0);
    if (hello.role == kRoleJoin) {
        // Another connection of a session: from the same process that opened it.
        for (auto& s : m_sessions)
            if (s->Id() == hello.session && s->PeerPid() == peerPid && !s->Dead()) c.session = s;
        if (!c.session) return HandshakeOutcome::Refused;
        welcome.session = c.session->Id();
        Writer(&reply).Put(welcome);
        if (!c.channel->Send(reply)) return HandshakeOutcome::Refused;
        c.session->AddChannel(c.channel);
        return HandshakeOutcome::Joined;
    }
    IUnknown* classObject = nullptr;
    for (auto& e : m_classes)
        if (e.cookie == c.cookie) classObject = e.object;
    if (!classObject) return HandshakeOutcome::Refused; // revoked meanwhile
    void* wanted = nullptr;
    welcome.status = IsMarshalled(hello.requested) ? classObject->QueryInterface(hello.requested, &wanted) : E_NOINTERFACE;
    if (FAILED(welcome.status)) {
        Writer(&reply).Put(welcome);
        c.channel->Send(reply);
        return HandshakeOutcome::Refused;
    }
    auto session = std::make_shared<Session>(Session::Side::Server, NewSessionId(), std::string(), peerPid);
    session->SetCallbackChannel(c.channel);
    welcome.session = session->Id();
    welcome.object = session->ExportObject(static_cast<IUnknown*>(wanted), hello.requested);
    static_cast<IUnknown*>(wanted)->Release();
    Writer(&reply).Put(welcome);
    if (!c.channel->Send(reply)) {
        session->Terminate();
        return HandshakeOutcome::Refused;
    }
    m_sessions.push_back(session);
    // The callback connection is read by a thread of its own: answers to the calls of threads other than
    // this one must arrive while this thread is busy; calls it carries are handed over to this thread.
    auto channel = c.channel;
    try {
        std::thread([this, session, channel] {
            for (;;) {
                Incoming in;
                if (!channel->Receive(&in, platform::kInfinite)) break;
                if (in.header.kind == uint16_t(MessageKind::Reply)) {
                    session->DeliverReply(std::move(in));
                    continue;
                }
                auto shared = std::make_shared<Incoming>(std::move(in));
                Post([this, session, channel, shared] { Serve(channel, session, *shared); });
            }
            Post([session] { session->Terminate(); });
        }).detach();
    } catch (...) {
        session->Terminate();
    }
    return HandshakeOutcome::HandedOver;
}

void Apartment::Serve(const std::shared_ptr<Channel>& channel, const std::shared_ptr<Session>& session, Incoming& m)
{
    if (session->Dead()) return;
    auto outer = m_current;
    m_current = channel;
    session->Dispatch(channel, m);
    m_current = outer;
}

void Apartment::SessionEnded(Session* session)
{
    for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it)
        if (it->get() == session) {
            auto keep = *it; // the session may be freed by this erase otherwise
            m_sessions.erase(it);
            for (auto& c : m_connections)
                if (c.session.get() == session) c.channel->Shutdown();
            if (m_sessionEnded) m_sessionEnded();
            return;
        }
}

void Apartment::PumpOnce(uint32_t timeoutMs)
{
    Enter();
    std::vector<int> fds {m_wake.Fd()};
    const size_t firstClass = fds.size();
    for (auto& e : m_classes) fds.push_back(e.listener);
    const size_t firstWatch = fds.size();
    for (auto& w : m_watches) fds.push_back(w.first);
    const size_t firstConnection = fds.size();
    uint64_t nextDeadline = UINT64_MAX;
    for (auto& c : m_connections) {
        fds.push_back(c.channel->Fd());
        if (!c.session) nextDeadline = std::min(nextDeadline, c.deadline);
    }
    const size_t classCount = m_classes.size(), watchCount = m_watches.size(), connectionCount = m_connections.size();
    uint32_t wait = timeoutMs;
    if (nextDeadline != UINT64_MAX) {
        const uint64_t now = platform::MonotonicMillis();
        wait = std::min<uint64_t>(wait, nextDeadline > now ? nextDeadline - now : 0);
    }
    std::vector<bool> ready;
    platform::PollReadable(fds, wait, &ready);

    if (ready[0]) m_wake.Drain();
    // Messages of the thread's own queue: the quit message, and calls other threads send.
    platform::Message msg;
    while (platform::PeekMessage(&msg, true))
        if (msg.message == platform::kMsgQuit) m_quit = true;
    RunPosted();

    std::vector<ClassEntry> classes(m_classes.begin(), m_classes.begin() + std::min(classCount, m_classes.size()));
    for (size_t i = 0; i < classes.size(); ++i)
        if (ready[firstClass + i]) Accept(classes[i]);
    std::vector<std::pair<int, std::function<void()>>> watches(m_watches.begin(),
                                                               m_watches.begin() + std::min(watchCount, m_watches.size()));
    for (size_t i = 0; i < watches.size(); ++i)
        if (ready[firstWatch + i]) watches[i].second();

    // Connections are handled from a copy: a call served here may accept, close or nest further pumps.
    std::vector<Connection> connections(m_connections.begin(), m_connections.begin() + connectionCount);
    const uint64_t now = platform::MonotonicMillis();
    std::vector<std::shared_ptr<Channel>> closed;
    for (size_t i = 0; i < connections.size(); ++i) {
        Connection& c = connections[i];
        if (!ready[firstConnection + i]) {
            if (!c.session && now >= c.deadline) closed.push_back(c.channel); // no handshake in time
            continue;
        }
        std::vector<Incoming> messages;
        const bool open = c.channel->ReceiveAvailable(&messages);
        for (Incoming& m : messages) {
            if (!c.session) {
                // The handshake decides the live entry's fate: joined to a session it stays in this poll;
                // an opened session's connection goes to its reader thread; anything else is dropped.
                HandshakeOutcome outcome = HandshakeOutcome::Refused;
                for (auto& live : m_connections)
                    if (live.channel == c.channel) {
                        outcome = Handshake(live, m);
                        c.session = live.session;
                    }
                if (outcome != HandshakeOutcome::Joined) {
                    closed.push_back(c.channel);
                    break;
                }
                continue;
            }
            if (m.header.kind == uint16_t(MessageKind::Reply)) {
                c.session->DeliverReply(std::move(m));
                continue;
            }
            Serve(c.channel, c.session, m);
        }
        if (!open || c.channel->Broken()) closed.push_back(c.channel);
    }
    for (auto& channel : closed) {
        for (auto it = m_connections.begin(); it != m_connections.end(); ++it)
            if (it->channel == channel) {
                m_connections.erase(it);
                break;
            }
    }
}

} // namespace zuvst::ps
