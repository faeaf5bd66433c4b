// Argument kinds: how one argument of a slot travels. A slot is described by its method and one kind per
// parameter; each kind names the parameter type it carries, so a kind that does not fit fails to compile.
//
// Every kind K offers, for its position I in the slot and the slot's argument tuple:
//   Request<I>(w, ctx, args)   the proxy puts what the callee needs (may refuse with a status)
//   Decode<I>(r, ctx, stores)  the stub reads it into its own storage
//   Arg<I>(stores)             what the stub hands the callee
//   Reply<I>(w, ctx, stores)   the stub puts what the caller gets back
//   Accept<I>(r, ctx, args, hr) the proxy writes it into the caller's memory
//   Finish<I>(stores)          the stub drops what it holds after the reply is built
#ifndef ZUVST_ZUVSTPS_KINDS_H
#define ZUVST_ZUVSTPS_KINDS_H

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "zuvst/interfaces.h"
#include "zuvstps/wire.h"

namespace zuvst::ps {

class Session;
struct CallContext {
    Session* session;
};

// The identifier of each marshalled interface (guids.cpp).
template <class I> const IID& IidOf();

// Interface pointers in messages (see session.cpp): the writer exports or names back; the reader gets a
// pointer it owns one reference of.
void WriteInterface(Writer& w, CallContext& ctx, IUnknown* object, const IID& iid);
bool ReadInterface(Reader& r, CallContext& ctx, IUnknown** out);

namespace kinds {

// Whether a pointer argument was given: one byte, 0 or 1.
inline void PutFlag(Writer& w, const void* pointer) { w.Put(uint8_t(pointer ? 1 : 0)); }
inline bool GetFlag(Reader& r, uint8_t* flag) { return r.Get(flag) && *flag <= 1; }

struct Base {
    // Parts whose size another argument gives travel after every other part, so that the stub knows it.
    static constexpr int kPass = 0;
    template <size_t I, class A> static HRESULT Request(Writer&, CallContext&, const A&) { return S_OK; }
    template <size_t I, class S> static bool Decode(Reader&, CallContext&, S&) { return true; }
    template <size_t I, class S> static void Reply(Writer&, CallContext&, S&) {}
    template <size_t I, class A> static bool Accept(Reader&, CallContext&, const A&, HRESULT) { return true; }
    template <size_t I, class S> static void Finish(S&) {}
    // Parts that travel only after a successful call, behind every other part.
    template <size_t I, class S> static void ReplyOnSuccess(Writer&, S&) {}
    template <size_t I, class A> static bool AcceptOnSuccess(Reader&, const A&) { return true; }
    // At most how many reply bytes this part takes (used to size shared audio blocks).
    template <size_t I, class A> static size_t ReplyBound(const A&) { return 16; }
};

// A value passed by value.
template <class T> struct In : Base {
    static_assert(std::is_trivially_copyable_v<T>);
    using Param = T;
    using Store = T;
    template <size_t I, class A> static HRESULT Request(Writer& w, CallContext&, const A& a)
    {
        w.Put(std::get<I>(a));
        return S_OK;
    }
    template <size_t I, class S> static bool Decode(Reader& r, CallContext&, S& s) { return r.Get(&std::get<I>(s)); }
    template <size_t I, class S> static T Arg(S& s) { return std::get<I>(s); }
};

// A capacity in UTF-16 units for an OutText: cut to what one message carries.
struct Capacity : In<int32_t> {
    template <size_t I, class A> static HRESULT Request(Writer& w, CallContext&, const A& a)
    {
        w.Put(std::min(std::get<I>(a), kMaxTextUnits));
        return S_OK;
    }
    template <size_t I, class S> static bool Decode(Reader& r, CallContext&, S& s)
    {
        return r.Get(&std::get<I>(s)) && std::get<I>(s) <= kMaxTextUnits;
    }
};

// An interface identifier, passed by reference and carried as its 16 bytes.
struct InIid : In<IID> {
    using Param = REFIID;
    template <size_t I, class S> static REFIID Arg(S& s) { return std::get<I>(s); }
};

// A pointer to one value the callee may read and write (null stays null).
template <class T> struct InOut : Base {
    static_assert(std::is_trivially_copyable_v<T>);
    using Param = T*;
    struct Store {
        T value {};
        uint8_t present = 0;
    };
    template <size_t I, class A> static HRESULT Request(Writer& w, CallContext&, const A& a)
    {
        T* p = std::get<I>(a);
        PutFlag(w, p);
        if (p) w.Put(*p);
        return S_OK;
    }
    template <size_t I, class S> static bool Decode(Reader& r, CallContext&, S& s)
    {
        Store& st = std::get<I>(s);
        if (!GetFlag(r, &st.present)) return false;
        return !st.present || r.Get(&st.value);
    }
    template <size_t I, class S> static T* Arg(S& s)
    {
        Store& st = std::get<I>(s);
        return st.present ? &st.value : nullptr;
    }
    template <size_t I, class S> static void Reply(Writer& w, CallContext&, S& s)
    {
        Store& st = std::get<I>(s);
        if (st.present) w.Put(st.value);
    }
    template <size_t I, class A> static bool Accept(Reader& r, CallContext&, const A& a, HRESULT)
    {
        T* p = std::get<I>(a);
        return !p || r.Get(p);
    }
};

// A count the callee reports (a byte count read): always given storage so the bytes can be sized by it.
struct OutCount : InOut<ULONG> {
    template <size_t I, class S> static bool Decode(Reader& r, CallContext& c, S& s)
    {
        if (!InOut<ULONG>::Decode<I>(r, c, s)) return false;
        std::get<I>(s).value = 0;
        return true;
    }
    template <size_t I, class S> static ULONG* Arg(S& s) { return &std::get<I>(s).value; }
    template <size_t I, class S> static void Reply(Writer& w, CallContext&, S& s) { w.Put(std::get<I>(s).value); }
    template <size_t I, class A> static bool Accept(Reader& r, CallContext&, const A& a, HRESULT)
    {
        ULONG value;
        if (!r.Get(&value)) return false;
        if (ULONG* p = std::get<I>(a)) *p = value;
        return true;
    }
};

// Zero-terminated input text (null stays null).
struct InText : Base {
    using Param = const WCHAR*;
    struct Store {
        std::u16string text;
        uint8_t present = 0;
    };
    template <size_t I, class A> static HRESULT Request(Writer& w, CallContext&, const A& a)
    {
        const WCHAR* text = std::get<I>(a);
        PutFlag(w, text);
        if (!text) return S_OK;
        uint32_t n = 0;
        while (text[n]) {
            if (++n > uint32_t(kMaxTextUnits)) return E_INVALIDARG;
        }
        w.Put(n);
        w.PutBytes(text, n * sizeof(WCHAR));
        return S_OK;
    }
    template <size_t I, class S> static bool Decode(Reader& r, CallContext&, S& s)
    {
        Store& st = std::get<I>(s);
        if (!GetFlag(r, &st.present)) return false;
        if (!st.present) return true;
        uint32_t n;
        if (!r.Get(&n) || n > uint32_t(kMaxTextUnits)) return false;
        const uint8_t* units = r.Take(size_t(n) * sizeof(WCHAR));
        if (!units) return false;
        st.text.resize(n);
        std::memcpy(st.text.data(), units, size_t(n) * sizeof(WCHAR));
        return true;
    }
    template <size_t I, class S> static const WCHAR* Arg(S& s)
    {
        Store& st = std::get<I>(s);
        return st.present ? st.text.c_str() : nullptr;
    }
};

// Output text into the caller's buffer of a capacity given by another argument (or a fixed one). The stub's
// buffer starts filled with a mark, so that units the callee left alone stay as they were at the caller.
constexpr WCHAR kUntouched = 0xFFFF;

// A buffer the callee fills: the stub's own, sized from the other arguments; null stays null.
template <class P, class Buffer> struct OutBuffer : Base {
    static constexpr int kPass = 1;
    using Param = P;
    struct Store {
        Buffer buffer;
        uint8_t present = 0;
    };
    template <size_t I, class A> static HRESULT Request(Writer& w, CallContext&, const A& a)
    {
        PutFlag(w, std::get<I>(a));
        return S_OK;
    }
    template <size_t I, class S> static bool DecodeSized(Reader& r, S& s, size_t size, typename Buffer::value_type fill)
    {
        Store& st = std::get<I>(s);
        if (!GetFlag(r, &st.present)) return false;
        if (st.present) st.buffer.assign(size, fill);
        return true;
    }
    template <size_t I, class S> static P Arg(S& s)
    {
        Store& st = std::get<I>(s);
        return st.present ? st.buffer.data() : nullptr;
    }
};

template <class Derived> struct OutTextBase : OutBuffer<WCHAR*, std::u16string> {
    using typename OutBuffer<WCHAR*, std::u16string>::Store;
    template <size_t I, class S> static bool Decode(Reader& r, CallContext&, S& s)
    {
        return OutTextBase::template DecodeSized<I>(r, s, size_t(std::max<int32_t>(Derived::StubUnits(s), 1)),
                                                    kUntouched);
    }
    // What the callee wrote: up to its first terminator, else up to the last unit it changed.
    template <size_t I, class S> static void Reply(Writer& w, CallContext&, S& s)
    {
        Store& st = std::get<I>(s);
        if (!st.present) return;
        const std::u16string& b = st.buffer;
        uint32_t n = 0;
        const size_t zero = b.find(u'\0');
        if (zero != std::u16string::npos)
            n = uint32_t(zero + 1);
        else {
            const size_t last = b.find_last_not_of(kUntouched);
            n = last == std::u16string::npos ? 0 : uint32_t(last + 1);
        }
        w.Put(n);
        w.PutBytes(b.data(), n * sizeof(WCHAR));
    }
    template <size_t I, class A> static bool Accept(Reader& r, CallContext&, const A& a, HRESULT)
    {
        WCHAR* text = std::get<I>(a);
        if (!text) return true;
        uint32_t n;
        if (!r.Get(&n)) return false;
        const uint8_t* units = r.Take(size_t(n) * sizeof(WCHAR));
        if (!units || int64_t(n) > std::max<int64_t>(Derived::ProxyUnits(a), 0)) return false;
        std::memcpy(text, units, size_t(n) * sizeof(WCHAR));
        return true;
    }
};

template <size_t CapacityIndex> struct OutText : OutTextBase<OutText<CapacityIndex>> {
    template <class S> static int32_t StubUnits(S& s) { return std::get<CapacityIndex>(s); }
    template <class A> static int64_t ProxyUnits(const A& a)
    {
        return std::min<int64_t>(std::get<CapacityIndex>(a), kMaxTextUnits);
    }
};

template <int32_t Units> struct OutFixedText : OutTextBase<OutFixedText<Units>> {
    template <class S> static int32_t StubUnits(S&) { return Units; }
    template <class A> static int64_t ProxyUnits(const A&) { return Units; }
};

// Bytes the caller gives, as many as SizeOf works out from the arguments.
template <class SizeOf> struct BytesIn : Base {
    static constexpr int kPass = 1;
    using Param = const void*;
    struct Store {
        const uint8_t* data = nullptr;
        uint8_t present = 0;
    };
    template <size_t I, class A> static HRESULT Request(Writer& w, CallContext&, const A& a)
    {
        const void* data = std::get<I>(a);
        const size_t size = SizeOf::Of(a);
        if (data && size > kMaxMessageBytes / 2) return E_OUTOFMEMORY;
        PutFlag(w, data);
        if (data) w.PutBytes(data, size);
        return S_OK;
    }
    template <size_t I, class S> static bool Decode(Reader& r, CallContext&, S& s)
    {
        Store& st = std::get<I>(s);
        if (!GetFlag(r, &st.present)) return false;
        if (!st.present) return true;
        const size_t size = SizeOf::Of(s);
        st.data = r.Take(size);
        // A present buffer of no bytes still gets an address, as the caller's had one.
        static const uint8_t kNone = 0;
        if (st.data && size == 0) st.data = &kNone;
        return st.data != nullptr;
    }
    template <size_t I, class S> static const void* Arg(S& s)
    {
        Store& st = std::get<I>(s);
        return st.present ? st.data : nullptr;
    }
};

template <size_t SizeIndex> struct ArgumentSize {
    template <class T> static size_t Of(const T& t) { return size_t(std::get<SizeIndex>(t)); }
};
template <size_t SizeIndex> using InBytes = BytesIn<ArgumentSize<SizeIndex>>;

template <size_t SizeIndex, size_t CountIndex> struct OutBytes : OutBuffer<void*, std::vector<uint8_t>> {
    template <size_t I, class A> static HRESULT Request(Writer& w, CallContext& c, const A& a)
    {
        if (std::get<I>(a) && std::get<SizeIndex>(a) > kMaxMessageBytes / 2) return E_OUTOFMEMORY;
        return OutBuffer::Request<I>(w, c, a);
    }
    template <size_t I, class S> static bool Decode(Reader& r, CallContext&, S& s)
    {
        const size_t size = std::get<SizeIndex>(s);
        const bool fits = size <= kMaxMessageBytes / 2; // only a buffer that is there must fit a message
        return DecodeSized<I>(r, s, fits ? size : 0, 0) && (fits || !std::get<I>(s).present);
    }
    template <size_t I, class S> static void Reply(Writer& w, CallContext&, S& s)
    {
        Store& st = std::get<I>(s);
        if (!st.present) return;
        const uint32_t n = uint32_t(std::min<size_t>(std::get<CountIndex>(s).value, st.buffer.size()));
        w.Put(n);
        w.PutBytes(st.buffer.data(), n);
    }
    template <size_t I, class A> static bool Accept(Reader& r, CallContext&, const A& a, HRESULT)
    {
        void* data = std::get<I>(a);
        if (!data) return true;
        uint32_t n;
        if (!r.Get(&n) || n > std::get<SizeIndex>(a)) return false;
        const uint8_t* bytes = r.Take(n);
        if (!bytes) return false;
        std::memcpy(data, bytes, n);
        return true;
    }
};

// Interleaved audio of channels x frames x bytes-per-sample, each count another argument. Counts that do not
// make a size (negative) carry no samples; the callee refuses them as it would in process.
template <size_t Channels, size_t Frames, size_t Bytes, class A> size_t AudioBytes(const A& a)
{
    const int64_t c = std::get<Channels>(a), f = std::get<Frames>(a), b = std::get<Bytes>(a);
    if (c < 0 || f < 0 || b < 0) return 0;
    uint64_t n;
    if (__builtin_mul_overflow(uint64_t(c), uint64_t(f), &n) || __builtin_mul_overflow(n, uint64_t(b), &n) ||
        n > kMaxMessageBytes)
        return size_t(kMaxMessageBytes) + 1;
    return size_t(n);
}

template <size_t Channels, size_t Frames, size_t Bytes> struct AudioSize {
    template <class T> static size_t Of(const T& t) { return AudioBytes<Channels, Frames, Bytes>(t); }
};
template <size_t Channels, size_t Frames, size_t Bytes> using AudioIn = BytesIn<AudioSize<Channels, Frames, Bytes>>;

// The output samples come back only when the call succeeds: a refused block leaves the caller's buffer alone.
template <size_t Channels, size_t Frames, size_t Bytes> struct AudioOut : Base {
    static constexpr int kPass = 1;
    using Param = void*;
    struct Store {
        std::vector<uint8_t>* buffer = nullptr;
        uint8_t present = 0;
    };
    template <size_t I, class A> static HRESULT Request(Writer& w, CallContext&, const A& a)
    {
        if (std::get<I>(a) && AudioBytes<Channels, Frames, Bytes>(a) > kMaxMessageBytes / 2) return E_OUTOFMEMORY;
        PutFlag(w, std::get<I>(a));
        return S_OK;
    }
    template <size_t I, class S> static bool Decode(Reader& r, CallContext&, S& s)
    {
        Store& st = std::get<I>(s);
        if (!GetFlag(r, &st.present)) return false;
        if (st.present) {
            // Kept per thread: the audio thread of an effect serves block after block.
            thread_local std::vector<uint8_t> buffer;
            const size_t size = AudioBytes<Channels, Frames, Bytes>(s);
            if (size > kMaxMessageBytes / 2) return false;
            buffer.resize(std::max<size_t>(size, 1));
            st.buffer = &buffer;
        }
        return true;
    }
    template <size_t I, class S> static void* Arg(S& s)
    {
        Store& st = std::get<I>(s);
        return st.present ? st.buffer->data() : nullptr;
    }
    template <size_t I, class S> static void ReplyOnSuccess(Writer& w, S& s)
    {
        Store& st = std::get<I>(s);
        if (st.present) w.PutBytes(st.buffer->data(), AudioBytes<Channels, Frames, Bytes>(s));
    }
    template <size_t I, class A> static size_t ReplyBound(const A& a) { return AudioBytes<Channels, Frames, Bytes>(a); }
    template <size_t I, class A> static bool AcceptOnSuccess(Reader& r, const A& a)
    {
        void* data = std::get<I>(a);
        if (!data) return true;
        const size_t size = AudioBytes<Channels, Frames, Bytes>(a);
        const uint8_t* bytes = r.Take(size);
        if (!bytes) return false;
        std::memcpy(data, bytes, size);
        return true;
    }
};

// An interface pointer passed in; the stub's reference lasts for the call.
template <class I_> struct InIface : Base {
    using Param = I_*;
    using Store = IUnknown*;
    template <size_t I, class A> static HRESULT Request(Writer& w, CallContext& c, const A& a)
    {
        WriteInterface(w, c, std::get<I>(a), IidOf<I_>());
        return S_OK;
    }
    template <size_t I, class S> static bool Decode(Reader& r, CallContext& c, S& s)
    {
        return ReadInterface(r, c, &std::get<I>(s));
    }
    template <size_t I, class S> static I_* Arg(S& s) { return static_cast<I_*>(std::get<I>(s)); }
    template <size_t I, class S> static void Finish(S& s)
    {
        if (IUnknown* p = std::get<I>(s)) p->Release();
        std::get<I>(s) = nullptr;
    }
};

// An interface pointer handed out under the IID that another argument names; the caller owns it.
template <size_t IidIndex> struct OutIface : Base {
    using Param = void**;
    struct Store {
        void* object = nullptr;
        uint8_t present = 0;
    };
    template <size_t I, class A> static HRESULT Request(Writer& w, CallContext&, const A& a)
    {
        PutFlag(w, std::get<I>(a));
        return S_OK;
    }
    template <size_t I, class S> static bool Decode(Reader& r, CallContext&, S& s)
    {
        Store& st = std::get<I>(s);
        return GetFlag(r, &st.present);
    }
    template <size_t I, class S> static void** Arg(S& s)
    {
        Store& st = std::get<I>(s);
        return st.present ? &st.object : nullptr;
    }
    template <size_t I, class S> static void Reply(Writer& w, CallContext& c, S& s)
    {
        Store& st = std::get<I>(s);
        if (!st.present) return;
        WriteInterface(w, c, static_cast<IUnknown*>(st.object), std::get<IidIndex>(s));
    }
    template <size_t I, class S> static void Finish(S& s)
    {
        Store& st = std::get<I>(s);
        if (st.object) static_cast<IUnknown*>(st.object)->Release(); // the export holds its own reference
        st.object = nullptr;
    }
    template <size_t I, class A> static bool Accept(Reader& r, CallContext& c, const A& a, HRESULT)
    {
        void** out = std::get<I>(a);
        if (!out) return true;
        IUnknown* object = nullptr;
        if (!ReadInterface(r, c, &object)) return false;
        *out = object;
        return true;
    }
};

} // namespace kinds
} // namespace zuvst::ps

#endif
