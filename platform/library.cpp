#include "platform/library.h"

#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <unistd.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <utility>

namespace zuvst::platform {

namespace {

constexpr int kLoadSlots = 64;
std::atomic<uintptr_t> g_loading[kLoadSlots];   // threads inside the loader
std::atomic<uintptr_t> g_abandoned[kLoadSlots]; // threads the probe worker gave up

uintptr_t Self() { return static_cast<uintptr_t>(::pthread_self()); }

void Claim(std::atomic<uintptr_t>* table, uintptr_t token)
{
    for (int i = 0; i < kLoadSlots; ++i) {
        uintptr_t expected = 0;
        if (table[i].compare_exchange_strong(expected, token)) return;
    }
}

void Drop(std::atomic<uintptr_t>* table, uintptr_t token)
{
    for (int i = 0; i < kLoadSlots; ++i) {
        uintptr_t expected = token;
        if (table[i].compare_exchange_strong(expected, 0)) return;
    }
}

struct LoadInProgress {
    LoadInProgress() { Claim(g_loading, Self()); }
    ~LoadInProgress() { Drop(g_loading, Self()); }
};

} // namespace

void MarkThreadAbandoned(uintptr_t threadToken) { Claim(g_abandoned, threadToken); }

bool AbandonedLoadInProgress()
{
    for (int i = 0; i < kLoadSlots; ++i) {
        const uintptr_t t = g_loading[i].load();
        if (!t) continue;
        for (int j = 0; j < kLoadSlots; ++j)
            if (g_abandoned[j].load() == t) return true;
    }
    return false;
}

void ForgetLoadInProgress() { Drop(g_loading, Self()); }

void ForgetThreadMarks()
{
    Drop(g_loading, Self());
    Drop(g_abandoned, Self());
}

HRESULT LoadLibrary(const char* path, LibraryHandle* handle)
{
    *handle = nullptr;
    const LoadInProgress marker;
    struct stat st {};
    if (!path || !*path || ::stat(path, &st) != 0) return ZU_E_MOD_NOT_FOUND;
    void* h = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        // A library whose own dependency is missing is reported like a missing module.
        const char* err = ::dlerror();
        if (err && std::strstr(err, "cannot open shared object file") && !std::strstr(err, path))
            return ZU_E_MOD_NOT_FOUND;
        return ZU_E_BAD_EXE_FORMAT;
    }
    *handle = h;
    return S_OK;
}

LibraryHandle AdoptAbandonedLibrary(const char* path)
{
    // The abandoned load already counted its reference; drop the one this lookup adds.
    LibraryHandle handle = path ? ::dlopen(path, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD) : nullptr;
    if (handle) ::dlclose(handle);
    return handle;
}

HRESULT FindSymbol(LibraryHandle handle, const char* name, void** symbol)
{
    *symbol = handle ? ::dlsym(handle, name) : nullptr;
    return *symbol ? S_OK : ZU_E_PROC_NOT_FOUND;
}

void FreeLibrary(LibraryHandle handle)
{
    if (handle) ::dlclose(handle);
}

namespace {

// The loader keeps its locks, recursive mutexes, in its global state object; we find the ones this
// thread owns by their owner field.
struct LoaderState {
    char* base = nullptr;
    size_t size = 0;
};

const LoaderState& FindLoaderState()
{
    static const LoaderState state = [] {
        LoaderState s;
#if defined(__GLIBC__)
        void* sym = ::dlsym(RTLD_DEFAULT, "_rtld_global");
        Dl_info info {};
        void* extra = nullptr;
        if (sym && ::dladdr1(sym, &info, &extra, RTLD_DL_SYMENT) && extra) {
            s.base = static_cast<char*>(sym);
            s.size = static_cast<const ElfW(Sym)*>(extra)->st_size;
        }
#endif
        return s;
    }();
    return state;
}

template <class F>
void ForEachOwnedLoaderLock(F&& f)
{
#if defined(__GLIBC__)
    const auto [base, size] = FindLoaderState();
    if (!base) return;
    const int tid = static_cast<int>(::gettid());
    for (size_t off = 0; off + sizeof(pthread_mutex_t) <= size; off += alignof(pthread_mutex_t)) {
        auto* m = reinterpret_cast<pthread_mutex_t*>(base + off);
        if (m->__data.__owner == tid && m->__data.__kind == PTHREAD_MUTEX_RECURSIVE_NP && m->__data.__lock != 0 &&
            m->__data.__count >= 1)
            f(m);
    }
#else
    (void)f;
#endif
}

} // namespace

LoaderLocks CaptureLoaderLocks()
{
    LoaderLocks locks;
    ForEachOwnedLoaderLock([&](pthread_mutex_t* m) {
        if (locks.n == LoaderLocks::kMax) return;
        locks.mutex[locks.n] = m;
        locks.count[locks.n++] = m->__data.__count;
    });
    return locks;
}

int RestoreLoaderLocks(const LoaderLocks& before)
{
    int released = 0;
    ForEachOwnedLoaderLock([&](pthread_mutex_t* m) {
        unsigned keep = 0;
        for (int i = 0; i < before.n; ++i)
            if (before.mutex[i] == m) keep = before.count[i];
        for (unsigned held = m->__data.__count; held > keep; --held, ++released) ::pthread_mutex_unlock(m);
    });
    return released;
}

} // namespace zuvst::platform
