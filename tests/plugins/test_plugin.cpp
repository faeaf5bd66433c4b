// A VST 2 plug-in whose behaviour the test chooses through its control block.
#include <fcntl.h>
#include <fenv.h>
#include <sys/mman.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <thread>

#include "test_plugin_control.h"

using namespace zuvst::vst2;

#define ZT_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

bool g_sharedControl = false;
// The host callback of this process: a shared control block holds another process's.
HostCallbackProc g_host = nullptr;
ZtControl& ControlBlock()
{
    static ZtControl* block = [] {
        if (const char* file = std::getenv("ZT_CONTROL_FILE")) {
            const int fd = open(file, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (fd >= 0 && ftruncate(fd, sizeof(ZtControl)) == 0) {
                void* p = mmap(nullptr, sizeof(ZtControl), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
                close(fd);
                if (p != MAP_FAILED) {
                    g_sharedControl = true;
                    return static_cast<ZtControl*>(p);
                }
            }
        }
        static ZtControl own;
        return &own;
    }();
    return *block;
}
#define g_control (ControlBlock())

struct ChunkState {
    uint32_t magic;
    int32_t program;
    float params[kZtMaxParams];
    char programNames[kZtMaxPrograms][32];
};
constexpr uint32_t kChunkMagic = 0x5A74436B; // 'ZtCk'

struct Instance {
    AEffect fx;
    ChunkState chunk;
    int32_t program;
    int32_t shellCursor;
    int32_t category;
    float params[kZtMaxParams];
    char programNames[kZtMaxPrograms][32];
};

void Log(int32_t kind, int32_t opcode, int32_t index, int64_t value, float opt, int64_t result, const char* text)
{
    const int n = g_control.logCount.fetch_add(1);
    if (n >= kZtMaxLog) return;
    ZtLogEntry& e = g_control.log[n];
    e.kind = kind;
    e.opcode = opcode;
    e.index = index;
    e.value = value;
    e.opt = opt;
    e.result = result;
    if (text) std::snprintf(e.text, sizeof(e.text), "%s", text);
}

__attribute__((noinline)) int Recurse(int depth)
{
    volatile char pad[4096];
    pad[0] = static_cast<char>(depth);
    return Recurse(depth + 1) + pad[0];
}

void Fault(int kind)
{
    switch (kind) {
    case ZT_FAULT_NULL_DEREF: {
        volatile int* volatile p = nullptr;
        *p = 1;
        break;
    }
    case ZT_FAULT_FLOAT_DIV: {
        feenableexcept(FE_DIVBYZERO);
        volatile float zero = 0.0f;
        volatile float r = 1.0f / zero;
        (void)r;
        break;
    }
    case ZT_FAULT_INT_DIV: {
        volatile int zero = 0, one = 1;
        volatile int r = one / zero;
        (void)r;
        break;
    }
    case ZT_FAULT_ILLEGAL: __asm__ volatile("ud2"); break;
    case ZT_FAULT_ABORT: std::abort();
    case ZT_FAULT_STACK_OVERFLOW: Recurse(0); break;
    case ZT_FAULT_CPP_EXCEPTION: throw std::runtime_error("test plug-in exception");
    case ZT_FAULT_EXIT: _exit(3);
    case ZT_FAULT_KILL: kill(getpid(), SIGKILL); break;
    case ZT_FAULT_THREAD_OVERFLOW: {
        std::thread t([] { Recurse(0); });
        t.join();
        break;
    }
    case ZT_FAULT_HANG:
    case ZT_FAULT_SLEEP:
    case ZT_FAULT_FUTEX:
    case ZT_FAULT_HANG_MASKED: {
        if (kind == ZT_FAULT_HANG_MASKED) {
            sigset_t all;
            sigfillset(&all);
            pthread_sigmask(SIG_BLOCK, &all, nullptr);
        }
        g_control.hanging.store(1);
        while (!g_control.hangRelease.load()) {
            if (kind == ZT_FAULT_SLEEP) usleep(100000);
            if (kind == ZT_FAULT_FUTEX) {
                timespec limit {0, 100000000};
                int zero = 0;
                syscall(SYS_futex, &zero, FUTEX_WAIT_PRIVATE, 0, &limit, nullptr, 0);
            }
        }
        g_control.hanging.store(0);
        break;
    }
    default: break;
    }
}

void MaybeFault(int32_t where)
{
    if (g_control.faultKind != ZT_FAULT_NONE && g_control.faultWhere == where) Fault(g_control.faultKind);
}

void RunCallbacksHere(int32_t when, AEffect* fx);

void RunCallbacks(int32_t when, AEffect* fx)
{
    if (g_control.callbacksOnThread)
        std::thread([when, fx] { RunCallbacksHere(when, fx); }).detach();
    else
        RunCallbacksHere(when, fx);
}

void RunCallbacksHere(int32_t when, AEffect* fx)
{
    for (int i = 0; i < g_control.numCallbacks; ++i) {
        ZtCallbackRequest& r = g_control.callbacks[i];
        if (r.when != when) continue;
        char buffer[512] = {};
        void* ptr = r.passText ? static_cast<void*>(r.text) : static_cast<void*>(buffer);
        const intptr_t result = g_host(fx, r.opcode, r.index, static_cast<intptr_t>(r.value), ptr, r.opt);
        char text[96] = {};
        if (r.opcode == audioMasterGetTime && result) {
            std::memcpy(&g_control.lastTime, reinterpret_cast<void*>(result), sizeof(VstTimeInfo));
            g_control.lastTimeValid = 1;
        } else if (r.opcode == audioMasterGetDirectory && result) {
            std::snprintf(text, sizeof(text), "%s", reinterpret_cast<const char*>(result));
        } else if (!r.passText) {
            std::snprintf(text, sizeof(text), "%s", buffer);
        }
        Log(ZT_CALLBACK, r.opcode, r.index, r.value, r.opt, result, text);
    }
}

intptr_t PutString(void* ptr, const char* text)
{
    char* out = static_cast<char*>(ptr);
    if (g_control.fillBytes > 0) {
        std::memset(out, 'x', static_cast<size_t>(g_control.fillBytes));
        return 1;
    }
    std::strcpy(out, text);
    return 1;
}

intptr_t Dispatcher(AEffect* fx, int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt)
{
    auto* in = static_cast<Instance*>(fx->object);
    const char* text = nullptr;
    if (opcode == effSetProgramName && ptr) text = static_cast<const char*>(ptr);
    Log(ZT_DISPATCH, opcode, index, opcode == effEditOpen ? reinterpret_cast<intptr_t>(ptr) : value, opt, 0,
        text);
    RunCallbacks(opcode, fx);
    if (opcode == effClose) {
        // Freed before a fault on demand, so that a test of that fault leaks nothing.
        delete in;
        --g_control.instances;
        MaybeFault(opcode);
        return 0;
    }
    MaybeFault(opcode);
#if defined(ZT_KILL_AT_NAME)
    // A variant that takes its process down whenever it is asked its name (for scans of many files).
    if (opcode == effGetEffectName) kill(getpid(), SIGKILL);
#endif
    switch (opcode) {
    case effSetProgram:
        if (value >= 0 && value < g_control.numPrograms) in->program = static_cast<int32_t>(value);
        return 0;
    case effGetProgram: return in->program;
    case effSetProgramName:
        std::snprintf(in->programNames[in->program % kZtMaxPrograms], 32, "%s", static_cast<const char*>(ptr));
        return 0;
    case effGetProgramName: return PutString(ptr, in->programNames[in->program % kZtMaxPrograms]) * 0;
    case effGetProgramNameIndexed:
        if (!g_control.namesProgramsIndexed || index < 0 || index >= kZtMaxPrograms) return 0;
        return PutString(ptr, in->programNames[index]);
    case effGetParamLabel: return PutString(ptr, "dB") * 0;
    case effGetParamDisplay: {
        char display[32];
        std::snprintf(display, sizeof(display), "%.3f", index >= 0 && index < kZtMaxParams ? in->params[index] : 0.0f);
        return PutString(ptr, display) * 0;
    }
    case effGetParamName: {
        char name[32];
        std::snprintf(name, sizeof(name), "Param %d", index);
        return PutString(ptr, name) * 0;
    }
    case effEditGetRect:
        *static_cast<ERect**>(ptr) = g_control.rectNull ? nullptr : &g_control.rect;
        return g_control.rectNull ? 0 : 1;
    case effGetPlugCategory: return in->category;
    case effGetEffectName: return PutString(ptr, g_control.effectName);
    case effGetVendorString: return PutString(ptr, g_control.vendor);
    case effGetProductString: return PutString(ptr, g_control.product);
    case effGetVendorVersion: return g_control.vendorVersion;
    case effGetTailSize: return static_cast<intptr_t>(g_control.tailSize);
    case effGetParameterProperties:
        if (ptr && g_control.paramPropsAnswer) std::memcpy(ptr, &g_control.paramProps, sizeof(VstParameterProperties));
        return static_cast<intptr_t>(g_control.paramPropsAnswer);
    case effGetChunk: {
        ChunkState& c = in->chunk;
        c.magic = kChunkMagic;
        c.program = in->program;
        std::memcpy(c.params, in->params, sizeof(c.params));
        std::memcpy(c.programNames, in->programNames, sizeof(c.programNames));
        *static_cast<void**>(ptr) = &c;
        return g_control.chunkAnswer >= 0 ? static_cast<intptr_t>(g_control.chunkAnswer) : sizeof(ChunkState);
    }
    case effSetChunk: {
        ++g_control.setChunkCount;
        if (value != sizeof(ChunkState)) return 0;
        ChunkState c;
        std::memcpy(&c, ptr, sizeof(c));
        if (c.magic != kChunkMagic) return 0;
        in->program = c.program;
        std::memcpy(in->params, c.params, sizeof(in->params));
        std::memcpy(in->programNames, c.programNames, sizeof(in->programNames));
        return 1;
    }
    case effShellGetNextPlugin: {
        if (in->shellCursor >= g_control.numSubs) return 0;
        const ZtSubPlugin& sub = g_control.subs[in->shellCursor++];
        std::strcpy(static_cast<char*>(ptr), sub.name);
        return sub.uniqueID;
    }
    default: return 0;
    }
}

float GetParameter(AEffect* fx, int32_t index)
{
    auto* in = static_cast<Instance*>(fx->object);
    MaybeFault(ZT_AT_GETPARAM);
    const float v = index >= 0 && index < kZtMaxParams ? in->params[index] : 0.0f;
    Log(ZT_GETPARAM, 0, index, 0, v, 0, nullptr);
    return v;
}

void SetParameter(AEffect* fx, int32_t index, float value)
{
    auto* in = static_cast<Instance*>(fx->object);
    Log(ZT_SETPARAM, 0, index, 0, value, 0, nullptr);
    MaybeFault(ZT_AT_SETPARAM);
    if (index >= 0 && index < kZtMaxParams) in->params[index] = value;
}

// A gain: every output is its input times twice parameter 0 (0.5 passes the input unchanged); outputs
// without an input are silent.
void ProcessReplacing(AEffect* fx, float** inputs, float** outputs, int32_t frames)
{
    auto* in = static_cast<Instance*>(fx->object);
    const float gain = 2.0f * in->params[0];
    const bool fault = g_control.faultKind != ZT_FAULT_NONE && g_control.faultWhere == ZT_AT_PROCESS;
    const int32_t upTo = fault ? frames / 2 : frames;
    for (int32_t c = 0; c < fx->numOutputs; ++c)
        for (int32_t f = 0; f < upTo; ++f) outputs[c][f] = c < fx->numInputs ? inputs[c][f] * gain : 0.0f;
    if (fault) Fault(g_control.faultKind);
    RunCallbacks(ZT_AT_PROCESS, fx);
}

AEffect* Enter(HostCallbackProc host, int via)
{
    g_control.host = host;
    g_host = host;
    g_control.enteredVia = via;
    Log(ZT_ENTRY, 0, 0, 0, 0, 0, nullptr);
    RunCallbacks(ZT_AT_ENTRY, nullptr);
    MaybeFault(ZT_AT_ENTRY);
#if defined(ZT_NULL_ENTRY)
    return nullptr;
#else
#if defined(ZT_BAD_MAGIC)
    static Instance rejected; // the host forgets a bad descriptor without a call, so it is not allocated
    Instance* in = &rejected;
#else
    auto* in = new (std::nothrow) Instance {};
    if (!in) return nullptr;
#endif
    AEffect& fx = in->fx;
#if defined(ZT_BAD_MAGIC)
    fx.magic = 0x12345678;
#else
    fx.magic = kMagic;
#endif
    fx.dispatcher = Dispatcher;
    fx.getParameter = GetParameter;
    fx.setParameter = SetParameter;
    fx.processReplacing = ProcessReplacing;
    fx.numPrograms = g_control.numPrograms;
    fx.numParams = g_control.numParams;
    fx.numInputs = g_control.numInputs;
    fx.numOutputs = g_control.numOutputs;
    fx.flags = g_control.flags;
    fx.initialDelay = g_control.initialDelay;
    fx.uniqueID = g_control.uniqueID;
    fx.version = g_control.version;
    fx.object = in;
    in->category = g_control.category;
    std::memcpy(in->params, g_control.params, sizeof(in->params));
    std::memcpy(in->programNames, g_control.programNames, sizeof(in->programNames));
    if (g_control.isShell) {
        // A shell answers with the descriptor of the sub-plug-in the host asked for, or its own.
        const auto requested = static_cast<int32_t>(host(nullptr, audioMasterCurrentId, 0, 0, nullptr, 0.0f));
        for (int i = 0; i < g_control.numSubs && requested != 0; ++i) {
            if (g_control.subs[i].uniqueID != requested) continue;
            fx.uniqueID = g_control.subs[i].reportedID;
            in->category = g_control.subs[i].category;
        }
    }
    g_control.lastEffect = &fx;
    ++g_control.instances;
    return &fx;
#endif
}

void ResetControl()
{
    ZtControl& c = g_control;
    c.logCount.store(0);
    c.hangRelease.store(0);
    c.hanging.store(0);
    c.uniqueID = 0x5A74506C; // 'ZtPl'
    c.version = 1200;
    c.numPrograms = 4;
    c.numParams = 8;
    c.numInputs = 2;
    c.numOutputs = 2;
    c.flags = effFlagsCanReplacing;
    c.initialDelay = 0;
    c.category = 1;
    c.vendorVersion = 4321;
    c.tailSize = 0;
    std::strcpy(c.effectName, "Zt Test Effect");
    std::strcpy(c.vendor, "Zuvst Tests");
    std::strcpy(c.product, "Zt Product");
    c.fillBytes = 0;
    c.namesProgramsIndexed = 1;
    for (int i = 0; i < kZtMaxPrograms; ++i) std::snprintf(c.programNames[i], 32, "Program %d", i);
    for (int i = 0; i < kZtMaxParams; ++i) c.params[i] = 0.5f;
    c.paramPropsAnswer = 0;
    std::memset(&c.paramProps, 0, sizeof(c.paramProps));
    c.rectNull = 0;
    c.rect = ERect {0, 0, 300, 400};
    c.chunkAnswer = -1;
    c.setChunkCount = 0;
    c.faultKind = ZT_FAULT_NONE;
    c.faultWhere = ZT_AT_NOWHERE;
    c.numCallbacks = 0;
    c.callbacksOnThread = 0;
    c.lastTimeValid = 0;
    c.isShell = 0;
    c.numSubs = 0;
#if defined(ZT_SHELL)
    c.isShell = 1;
    c.uniqueID = 0;
    c.category = 10;
    c.numSubs = 3;
    c.subs[0] = ZtSubPlugin {0x5A745331, 0x5A745331, 1, "Sub One"};
    c.subs[1] = ZtSubPlugin {0x5A745332, 0x5A745332, 2, "Sub Two"};
    c.subs[2] = ZtSubPlugin {0x5A745333, 0x5A745333, 10, "Sub Three"};
#endif
}

// The library's own initialisation hangs until the file named by ZT_INIT_RELEASE exists (with
// ZT_INIT_MASKED, with every signal blocked).
void HangInInitialisation()
{
#if defined(ZT_INIT_MASKED)
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
#endif
    const char* release = std::getenv("ZT_INIT_RELEASE");
    while (!release || access(release, F_OK) != 0) usleep(2000);
#if defined(ZT_INIT_MASKED)
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
#endif
}

struct Init {
    Init()
    {
#if defined(ZT_INIT_FAULT)
        volatile int* volatile p = nullptr;
        *p = 1;
#endif
#if defined(ZT_INIT_HANG)
        HangInInitialisation();
#endif
        // A block shared with a test process was set up there; a server loading the plug-in keeps it.
        ControlBlock();
        if (!g_sharedControl || g_control.uniqueID == 0) ResetControl();
    }
} g_init;

} // namespace

ZT_EXPORT ZtControl* zutest_control() { return &g_control; }
ZT_EXPORT void zutest_reset() { ResetControl(); }

// Calls the host from a thread of the plug-in's own, on the most recent instance.
ZT_EXPORT int64_t zutest_call_from_thread(int32_t opcode, int32_t index, int64_t value, void* ptr, float opt)
{
    int64_t result = 0;
    std::thread t([&] { result = g_host(g_control.lastEffect, opcode, index, static_cast<intptr_t>(value), ptr, opt); });
    t.join();
    return result;
}

#if defined(ZT_ENTRY_MAIN)
ZT_EXPORT AEffect* ZtMainEntry(HostCallbackProc host) __asm__("main");
AEffect* ZtMainEntry(HostCallbackProc host) { return Enter(host, 1); }
#endif
#if defined(ZT_ENTRY_VSTMAIN)
ZT_EXPORT AEffect* VSTPluginMain(HostCallbackProc host) { return Enter(host, 2); }
#endif
