#include "zuvstps/audio.h"

#include <thread>

#include "platform/cpu.h"
#include "platform/fault_guard.h"
#include "platform/fault_guard.h"
#include "platform/sync.h"
#include "zuvstps/apartment.h"

namespace zuvst::ps {

namespace {

constexpr size_t kMinArea = 64 * 1024;
// How long the host waits on the doorbell before it looks whether the server is still there.
constexpr uint32_t kDeadCheckMs = 50;

AudioBlockHead* Head(const platform::SharedMemory& m) { return static_cast<AudioBlockHead*>(m.base); }
uint8_t* Area(const platform::SharedMemory& m) { return static_cast<uint8_t*>(m.base) + sizeof(AudioBlockHead); }
size_t AreaBytes(const platform::SharedMemory& m) { return m.size - sizeof(AudioBlockHead); }

} // namespace

// ---- host side ----

AudioLink::~AudioLink() { platform::ReleaseSharedMemory(&m_memory); }

HRESULT AudioLink::Ensure(Session& session, uint64_t object, size_t bytes)
{
    if (m_memory.base && AreaBytes(m_memory) >= bytes) return S_OK;
    size_t area = kMinArea;
    while (area < bytes) area *= 2;
    platform::SharedMemory fresh;
    if (!platform::CreateSharedMemory(sizeof(AudioBlockHead) + area, &fresh)) return E_OUTOFMEMORY;
    std::vector<uint8_t> attach;
    StartMessage(&attach, MessageKind::AttachAudio, 0, 0, object);
    Incoming reply;
    HRESULT hr = session.Call(attach, &reply, fresh.fd);
    if (SUCCEEDED(hr)) hr = reply.header.status;
    if (FAILED(hr)) {
        platform::ReleaseSharedMemory(&fresh);
        return hr;
    }
    platform::ReleaseSharedMemory(&m_memory);
    m_memory = fresh;
    m_sequence = 0;
    return S_OK;
}

HRESULT AudioLink::Exchange(Session& session, uint64_t object, std::vector<uint8_t>& request, size_t replyBound,
                            Incoming* reply)
{
    HRESULT hr = Ensure(session, object, std::max(request.size(), replyBound));
    if (FAILED(hr)) return hr;
    reinterpret_cast<MessageHeader*>(request.data())->length = uint32_t(request.size());
    std::memcpy(Area(m_memory), request.data(), request.size());
    AudioBlockHead* head = Head(m_memory);
    const uint32_t number = ++m_sequence;
    head->request.store(number, std::memory_order_release);
    platform::FutexWake(&head->request);
    for (;;) {
        const uint32_t seen = head->reply.load(std::memory_order_acquire);
        if (seen == number) break;
        if (session.Dead()) return RPC_E_DISCONNECTED;
        platform::FutexWait(&head->reply, seen, kDeadCheckMs);
    }
    MessageHeader h;
    std::memcpy(&h, Area(m_memory), sizeof(h));
    if (h.kind != uint16_t(MessageKind::Reply) || h.length < sizeof(h) || h.length > AreaBytes(m_memory))
        return RPC_E_DISCONNECTED;
    reply->header = h;
    reply->body.assign(Area(m_memory) + sizeof(h), Area(m_memory) + h.length);
    return S_OK;
}

HRESULT ProxyCore::AudioExchange(std::vector<uint8_t>& message, size_t replyBound, Incoming* reply)
{
    // The audio of one effect is one stream: a block from a second thread while one is under way is refused
    // rather than waited for, as the audio path takes no lock.
    if (m_audioBusy.exchange(true, std::memory_order_acquire)) return E_UNEXPECTED;
    HRESULT hr = E_OUTOFMEMORY;
    if (!m_audio) m_audio.reset(new (std::nothrow) AudioLink);
    if (m_audio) hr = m_audio->Exchange(*m_session, m_id, message, replyBound, reply);
    m_audioBusy.store(false, std::memory_order_release);
    return hr;
}

// ---- server side ----

std::shared_ptr<AudioServer> AudioServer::Start(std::shared_ptr<Session> session, IUnknown* effect, int fd,
                                                HRESULT* status)
{
    auto server = std::make_shared<AudioServer>();
    if (!platform::MapSharedMemory(fd, &server->m_memory) || server->m_memory.size < sizeof(AudioBlockHead) + 1024) {
        *status = E_INVALIDARG;
        return nullptr;
    }
    server->m_session = std::move(session);
    server->m_effect = effect;
    effect->AddRef(); // given back by Stop
    // The block's thread runs with the floating-point state of the apartment's thread, as calls there do.
    const uint32_t control = platform::ReadSseControl();
    try {
        std::thread([server, control] {
            platform::WriteSseControl(control);
            server->Run();
        }).detach();
    } catch (...) {
        effect->Release();
        server->m_effect = nullptr;
        *status = E_OUTOFMEMORY;
        return nullptr;
    }
    *status = S_OK;
    return server;
}

AudioServer::~AudioServer() { platform::ReleaseSharedMemory(&m_memory); }

void AudioServer::Stop(uint32_t waitMs)
{
    if (m_stop.exchange(true)) return;
    if (m_memory.base) {
        Head(m_memory)->request.fetch_add(1);
        platform::FutexWake(&Head(m_memory)->request);
    }
    // The effect is given back before the caller goes on, so that its end (and its release of the host's
    // master) happens in order with the release that stopped it.
    IUnknown* effect = nullptr;
    {
        std::unique_lock<std::mutex> g(m_lock);
        if (!m_ended.wait_for(g, std::chrono::milliseconds(waitMs), [&] { return m_done; })) {
            m_abandoned = true; // still inside the plug-in: it gives the effect back when it comes out
            return;
        }
        std::swap(effect, m_effect);
    }
    if (effect) effect->Release();
}

void AudioServer::Run()
{
    AudioBlockHead* head = Head(m_memory);
    uint8_t* area = Area(m_memory);
    const size_t areaBytes = AreaBytes(m_memory);
    uint32_t seen = 0; // a fresh block: the host numbers its requests from 1
    std::vector<uint8_t> reply;
    while (!m_stop.load()) {
        const uint32_t now = head->request.load(std::memory_order_acquire);
        if (now == seen) {
            platform::FutexWait(&head->request, seen, platform::kInfinite);
            continue;
        }
        seen = now;
        if (m_stop.load()) break;
        // The header is copied once: the host may scribble on the block, but not on what was checked.
        MessageHeader h;
        std::memcpy(&h, area, sizeof(h));
        HRESULT status = E_INVALIDARG;
        reply.clear();
        StartMessage(&reply, MessageKind::Reply, h.slot, h.callId, h.objectId);
        if (h.kind == uint16_t(MessageKind::Call) && h.length >= sizeof(h) && h.length <= areaBytes &&
            IsAudioSlot(IidOf<IZuVstEffect>(), h.slot)) {
            Reader r(area + sizeof(h), h.length - sizeof(h));
            Writer w(&reply);
            CallContext ctx {m_session.get()};
            if (!ServeSlot(IidOf<IZuVstEffect>(), m_effect, h.slot, r, w, ctx, &status)) {
                reply.resize(sizeof(MessageHeader));
                status = E_INVALIDARG;
            }
        }
        if (reply.size() > areaBytes) {
            reply.resize(sizeof(MessageHeader));
            status = E_OUTOFMEMORY;
        }
        auto* rh = reinterpret_cast<MessageHeader*>(reply.data());
        rh->status = status;
        rh->length = uint32_t(reply.size());
        std::memcpy(area, reply.data(), reply.size());
        head->reply.store(now, std::memory_order_release);
        platform::FutexWake(&head->reply);
    }
    std::lock_guard<std::mutex> g(m_lock);
    m_done = true;
    m_ended.notify_all();
    if (m_abandoned && m_effect) {
        IUnknown* effect = std::exchange(m_effect, nullptr);
        auto self = shared_from_this();
        Apartment::Get().Post([effect, self] { effect->Release(); });
    }
}

} // namespace zuvst::ps
