// Control block of the configurable test plug-in: a test sets the behaviour and reads what it received.
#ifndef ZUVST_TEST_PLUGIN_CONTROL_H
#define ZUVST_TEST_PLUGIN_CONTROL_H

#include <atomic>
#include <cstdint>

#include "zuvstwrap/zuvsteffect/vst2_abi.h"

enum ZtKind : int32_t { ZT_ENTRY = 0, ZT_DISPATCH = 1, ZT_GETPARAM = 2, ZT_SETPARAM = 3, ZT_CALLBACK = 4 };

enum ZtFault : int32_t {
    ZT_FAULT_NONE = 0,
    ZT_FAULT_NULL_DEREF,
    ZT_FAULT_FLOAT_DIV,
    ZT_FAULT_INT_DIV,
    ZT_FAULT_ILLEGAL,
    ZT_FAULT_ABORT,
    ZT_FAULT_STACK_OVERFLOW,
    ZT_FAULT_CPP_EXCEPTION,
    ZT_FAULT_HANG,        // spins until hangRelease is set
    ZT_FAULT_SLEEP,       // sleeps until hangRelease is set
    ZT_FAULT_FUTEX,       // waits on a futex until hangRelease is set
    ZT_FAULT_HANG_MASKED, // blocks every signal, then spins until hangRelease is set
    ZT_FAULT_EXIT,        // ends the process with _exit(3)
    ZT_FAULT_KILL,        // the process kills itself with SIGKILL
    ZT_FAULT_THREAD_OVERFLOW, // a thread of the plug-in's own, without a signal stack, overflows its stack
};

// Where a fault or a scripted callback happens: a dispatcher opcode (>= 0) or one of these.
enum ZtWhere : int32_t {
    ZT_AT_NOWHERE = -100,
    ZT_AT_ENTRY = -1,
    ZT_AT_GETPARAM = -2,
    ZT_AT_SETPARAM = -3,
    ZT_AT_PROCESS = -4, // halfway through processReplacing
};

struct ZtLogEntry {
    int32_t kind;
    int32_t opcode;
    int32_t index;
    float opt;
    int64_t value;
    int64_t result;
    char text[96];
};

struct ZtCallbackRequest {
    int32_t when = ZT_AT_NOWHERE;
    int32_t opcode = 0;
    int32_t index = 0;
    float opt = 0.0f;
    int64_t value = 0;
    int32_t passText = 0; // pass `text` as ptr; otherwise a zeroed 512-byte buffer
    char text[64] = {};
};

struct ZtSubPlugin {
    int32_t uniqueID;     // the ID the host asks for
    int32_t reportedID;   // the uniqueID of the descriptor returned for it
    int32_t category;
    char name[64];
};

constexpr int kZtMaxLog = 4096;
constexpr int kZtMaxParams = 64;
constexpr int kZtMaxPrograms = 16;

// With ZT_CONTROL_FILE set in the environment the control block lives in that file, shared by every process
// that loads the plug-in: a test drives the copy a server loaded as it drives its own.
struct ZtControl {
    // Descriptor.
    int32_t uniqueID;
    int32_t version;
    int32_t numPrograms;
    int32_t numParams;
    int32_t numInputs;
    int32_t numOutputs;
    int32_t flags;
    int32_t initialDelay;
    int32_t category;
    int32_t vendorVersion;
    int64_t tailSize;
    // Text answers. fillBytes > 0 makes every string answer that many non-zero bytes, unterminated.
    char effectName[64];
    char vendor[64];
    char product[64];
    int32_t fillBytes;
    int32_t namesProgramsIndexed;
    char programNames[kZtMaxPrograms][32];
    float params[kZtMaxParams];
    int64_t paramPropsAnswer;
    zuvst::vst2::VstParameterProperties paramProps;
    int32_t rectNull;
    zuvst::vst2::ERect rect;
    // Chunks: with effFlagsProgramChunks in flags the chunk is the instance's whole state.
    int64_t chunkAnswer; // >= 0: answer this size to effGetChunk instead of the state's
    int32_t setChunkCount;
    // Faults and hangs.
    int32_t faultKind;
    int32_t faultWhere;
    std::atomic<int32_t> hangRelease;
    std::atomic<int32_t> hanging;
    // Callbacks made by the plug-in itself.
    ZtCallbackRequest callbacks[16];
    int32_t numCallbacks;
    int32_t callbacksOnThread; // scripted callbacks run on a thread the plug-in starts (and does not wait for)
    zuvst::vst2::VstTimeInfo lastTime;
    int32_t lastTimeValid;
    // Shell.
    int32_t isShell;
    ZtSubPlugin subs[4];
    int32_t numSubs;
    // What the plug-in saw.
    int32_t enteredVia; // 1 "main", 2 "VSTPluginMain"
    int32_t instances;
    zuvst::vst2::AEffect* lastEffect;
    zuvst::vst2::HostCallbackProc host;
    std::atomic<int32_t> logCount;
    ZtLogEntry log[kZtMaxLog];
};

extern "C" {
using ZtControlProc = ZtControl* (*)();
using ZtResetProc = void (*)();
using ZtCallFromThreadProc = int64_t (*)(int32_t opcode, int32_t index, int64_t value, void* ptr, float opt);
}

#endif
