// One slot of an interface: its method and the kind of each argument. Proxies and stubs are made from it.
#ifndef ZUVST_ZUVSTPS_SLOT_H
#define ZUVST_ZUVSTPS_SLOT_H

#include <tuple>
#include <utility>

#include "zuvstps/kinds.h"

namespace zuvst::ps {

template <class M> struct MethodTraits;
template <class C, class... P> struct MethodTraits<HRESULT (C::*)(P...)> {
    using Class = C;
    using Params = std::tuple<P...>;
};

template <auto Method, class... K> struct Slot {
    using Traits = MethodTraits<decltype(Method)>;
    using Interface = typename Traits::Class;
    static_assert(std::is_same_v<std::tuple<typename K::Param...>, typename Traits::Params>,
                  "every argument kind must carry the type of its parameter");
    using Args = std::tuple<typename K::Param...>;
    using Stores = std::tuple<typename K::Store...>;
    using Index = std::index_sequence_for<K...>;

    // Proxy side: the request's arguments.
    static HRESULT Request(Writer& w, CallContext& c, const Args& a)
    {
        return [&]<size_t... I>(std::index_sequence<I...>) {
            HRESULT hr = S_OK;
            for (int pass = 0; pass < 2; ++pass)
                ((hr = SUCCEEDED(hr) && K::kPass == pass ? K::template Request<I>(w, c, a) : hr), ...);
            return hr;
        }(Index {});
    }

    // Proxy side: the reply into the caller's memory; false when the reply does not fit the slot.
    static bool Accept(Reader& r, CallContext& c, const Args& a, HRESULT status)
    {
        return [&]<size_t... I>(std::index_sequence<I...>) {
            bool ok = (K::template Accept<I>(r, c, a, status) && ...);
            if (ok && SUCCEEDED(status)) ok = (K::template AcceptOnSuccess<I>(r, a) && ...);
            return ok && r.Left() == 0;
        }(Index {});
    }

    static size_t ReplyBound(const Args& a)
    {
        return [&]<size_t... I>(std::index_sequence<I...>) { return (size_t(0) + ... + K::template ReplyBound<I>(a)); }(
            Index {});
    }

    // Stub side: reads the request, calls the object, writes the reply. False: the request was malformed and
    // the object was not called.
    static bool Serve(IUnknown* object, Reader& r, Writer& w, CallContext& c, HRESULT* status)
    {
        Stores s {};
        const bool decoded = [&]<size_t... I>(std::index_sequence<I...>) {
            bool ok = true;
            for (int pass = 0; pass < 2; ++pass)
                ((ok = ok && (K::kPass != pass || K::template Decode<I>(r, c, s))), ...);
            return ok && r.Left() == 0;
        }(Index {});
        if (decoded) {
            *status = [&]<size_t... I>(std::index_sequence<I...>) {
                return (static_cast<Interface*>(object)->*Method)(K::template Arg<I>(s)...);
            }(Index {});
            [&]<size_t... I>(std::index_sequence<I...>) {
                (K::template Reply<I>(w, c, s), ...);
                if (SUCCEEDED(*status)) (K::template ReplyOnSuccess<I>(w, s), ...);
            }(Index {});
        }
        // What was decoded is dropped on every path (a reference taken before a later part failed too).
        [&]<size_t... I>(std::index_sequence<I...>) { (K::template Finish<I>(s), ...); }(Index {});
        return decoded;
    }
};

} // namespace zuvst::ps

#endif
