// Proxies and stubs of every marshalled interface, generated from the slot lists in descriptions.h.
#include "zuvstps/descriptions.h"
#include "zuvstps/session.h"

namespace zuvst::ps {

// The identifiers, kept here so that the marshalling library stands on its own.
#define ZUPS_IID(I, d1, d2, d3, ...)                                                                          \
    template <> const IID& IidOf<I>()                                                                         \
    {                                                                                                         \
        static constexpr IID iid {d1, d2, d3, {__VA_ARGS__}};                                                 \
        return iid;                                                                                           \
    }
ZUPS_IID(IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46)
ZUPS_IID(IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46)
ZUPS_IID(IStream, 0x0000000C, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46)
ZUPS_IID(IZuVstEffectFactory, 0x5C2A7E91, 0x3B6D, 0x4F08, 0x9E, 0x14, 0x7A, 0x0C, 0x2B, 0x5D, 0x61, 0xF3)
ZUPS_IID(IZuVstEffect, 0xA17F0C3E, 0x62B9, 0x4D85, 0xB3, 0xC2, 0x19, 0xE4, 0xF7, 0xA0, 0x8D, 0x56)
ZUPS_IID(IZuVstMaster, 0x7B94E2D1, 0x8C05, 0x4A6F, 0x91, 0xD3, 0xE2, 0x5C, 0x0F, 0x4B, 0x8A, 0x17)
#undef ZUPS_IID

namespace {

// The interfaces an interface inherits, answered by its proxy without a call.
template <class I> bool IsOrBase(const IID& iid)
{
    if (iid == IidOf<I>() || iid == IidOf<IUnknown>()) return true;
    if constexpr (std::is_same_v<I, IZuVstEffectFactory>) return iid == IidOf<IClassFactory>();
    return false;
}

template <class I> class Proxy : public I, public ProxyCore {
public:
    using ProxyCore::ProxyCore;
    using Iface = I;

    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (IsOrBase<I>(riid)) {
            *ppv = static_cast<I*>(this);
            AddRefCore();
            return S_OK;
        }
        return this->template InvokeSocket<QueryInterfaceSlot>(0, std::forward_as_tuple(riid, ppv));
    }
    ULONG AddRef() override { return AddRefCore(); }
    ULONG Release() override { return ReleaseCore(); }
};

#define ZUPS_PROXY_METHOD(transport, n, name, params, args, ...)                                              \
    HRESULT name params override                                                                              \
    {                                                                                                         \
        using SlotT = Slot<&Iface::name __VA_OPT__(, ) __VA_ARGS__>;                                          \
        const typename SlotT::Args a = std::forward_as_tuple args;                                            \
        return this->template Invoke##transport<SlotT>(n, a);                                                 \
    }

#define ZUPS_PROXY_CLASS(I)                                                                                   \
    class Proxy_##I final : public Proxy<I> {                                                                 \
    public:                                                                                                   \
        using Proxy<I>::Proxy;                                                                                \
        ZUPS_SLOTS_##I(ZUPS_PROXY_METHOD)                                                                     \
    };
ZUPS_INTERFACES(ZUPS_PROXY_CLASS)

#define ZUPS_STUB_CASE(transport, n, name, params, args, ...)                                                 \
    case n: return Slot<&Iface::name __VA_OPT__(, ) __VA_ARGS__>::Serve(object, r, w, c, status);

#define ZUPS_STUB_FUNCTION(I)                                                                                 \
    bool Stub_##I(IUnknown* object, uint16_t slot, Reader& r, Writer& w, CallContext& c, HRESULT* status)     \
    {                                                                                                         \
        using Iface [[maybe_unused]] = I;                                                                     \
        switch (slot) {                                                                                       \
            ZUPS_SLOTS_##I(ZUPS_STUB_CASE) default : return false;                                            \
        }                                                                                                     \
    }
ZUPS_INTERFACES(ZUPS_STUB_FUNCTION)

#define ZUPS_AUDIO_CASE(transport, n, name, params, args, ...)                                                \
    if (slot == n) return std::string_view(#transport) == "Audio";
#define ZUPS_AUDIO_FUNCTION(I)                                                                                \
    bool AudioSlot_##I(uint16_t slot)                                                                         \
    {                                                                                                         \
        ZUPS_SLOTS_##I(ZUPS_AUDIO_CASE) return false;                                                         \
    }
ZUPS_INTERFACES(ZUPS_AUDIO_FUNCTION)

} // namespace

ProxyCore* MakeProxy(const IID& iid, std::shared_ptr<Session> session, uint64_t id, IUnknown** asInterface)
{
#define ZUPS_MAKE(I)                                                                                          \
    if (iid == IidOf<I>()) {                                                                                  \
        auto* p = new (std::nothrow) Proxy_##I(std::move(session), id, iid);                                  \
        if (!p) return nullptr;                                                                               \
        static_cast<ProxyCore*>(p)->m_self = static_cast<I*>(p);                                               \
        *asInterface = static_cast<I*>(p);                                                                          \
        return p;                                                                                             \
    }
    ZUPS_INTERFACES(ZUPS_MAKE)
#undef ZUPS_MAKE
    return nullptr;
}

bool ServeSlot(const IID& iid, IUnknown* object, uint16_t slot, Reader& r, Writer& w, CallContext& c, HRESULT* status)
{
    if (slot == 0) return QueryInterfaceSlot::Serve(object, r, w, c, status);
#define ZUPS_SERVE(I)                                                                                         \
    if (iid == IidOf<I>()) return Stub_##I(object, slot, r, w, c, status);
    ZUPS_INTERFACES(ZUPS_SERVE)
#undef ZUPS_SERVE
    return false;
}

bool IsAudioSlot(const IID& iid, uint16_t slot)
{
#define ZUPS_AUDIO(I)                                                                                         \
    if (iid == IidOf<I>()) return AudioSlot_##I(slot);
    ZUPS_INTERFACES(ZUPS_AUDIO)
#undef ZUPS_AUDIO
    return false;
}

bool IsMarshalled(const IID& iid)
{
#define ZUPS_KNOWN(I)                                                                                         \
    if (iid == IidOf<I>()) return true;
    ZUPS_INTERFACES(ZUPS_KNOWN)
#undef ZUPS_KNOWN
    return false;
}

} // namespace zuvst::ps
