// Answers the plug-ins' requests from the effect's state, or forwards them to the host's master.
#include "zuvstwrap/zuvsteffect/host_callback.h"

#include <cstring>

#include "platform/text.h"
#include "zuvstwrap/zuvsteffect/zuvst_effect.h"

char g_szHostVendor[64] = {};
char g_szHostProduct[64] = {};
std::atomic<int32_t> g_idLoadingPlugin {0};

namespace zuvst {

using namespace vst2;

namespace {

struct LoadHandOff {
    bool active = false;
    int32_t uniqueID = 0;
    bool needsIdle = false;
};
thread_local LoadHandOff tl_load;

constexpr const char* kCapabilities[] = {"shellCategory", "sizeWindow", "supplyIdle", "sendVstTimeInfo",
                                         "startStopProcess"};

intptr_t CopyHostString(const char* source, void* ptr)
{
    if (!ptr || source[0] == 0) return 0;
    std::memcpy(ptr, source, std::strlen(source) + 1);
    return 1;
}

intptr_t AnswerUnbound(int32_t opcode, void* ptr)
{
    switch (opcode) {
    case audioMasterVersion: return 2300;
    case audioMasterCurrentId: return tl_load.active ? tl_load.uniqueID : g_idLoadingPlugin.load();
    case audioMasterGetNumAutomatableParameters: return 1024;
    case audioMasterNeedIdle:
        // Only the loading thread's own load can take the wish; others have no effect to give it to.
        if (tl_load.active) tl_load.needsIdle = true;
        return 0;
    case audioMasterWillReplaceOrAccumulate: return 1;
    case audioMasterGetVendorString: return CopyHostString(g_szHostVendor, ptr);
    case audioMasterGetProductString: return CopyHostString(g_szHostProduct, ptr);
    case audioMasterCanDo:
        if (!ptr) return 0;
        for (const char* cap : kCapabilities)
            if (std::strcmp(static_cast<const char*>(ptr), cap) == 0) return 1;
        return 0;
    default: return 0;
    }
}

} // namespace

void BeginLoadHandOff(int32_t uniqueID)
{
    g_idLoadingPlugin.store(uniqueID);
    tl_load = LoadHandOff {true, uniqueID, false};
}

bool EndLoadHandOff()
{
    const bool needsIdle = tl_load.needsIdle;
    tl_load = LoadHandOff {};
    return needsIdle;
}

void SetHostStrings(const WCHAR* vendor, const WCHAR* product)
{
    for (auto [text, buffer] : {std::pair {vendor, g_szHostVendor}, std::pair {product, g_szHostProduct}}) {
        if (!text) continue;
        if (text[0] == 0)
            buffer[0] = 0;
        else
            platform::WideToUtf8(text, buffer, 64);
        buffer[63] = 0;
    }
}

intptr_t HostCallback(AEffect* effect, int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt)
{
    CZuVstEffect* const self = effect ? reinterpret_cast<CZuVstEffect*>(effect->resvd1) : nullptr;
    if (!self) return AnswerUnbound(opcode, ptr);
    IZuVstMaster* const master = self->m_pMaster;

    switch (opcode) {
    case audioMasterAutomate:
        if (master) master->Automate(index, opt);
        return 0;
    case audioMasterCurrentId: return self->m_pEffect ? self->m_pEffect->uniqueID : 0;
    case audioMasterIdle:
        if (master && !self->m_idleGuard.load(std::memory_order_relaxed)) master->Idle();
        self->Idle();
        return 0;
    case audioMasterGetTime: {
        if (!master) return 0;
        ZUVSTTIMEINFO host {};
        if (master->GetTime(&host) != S_OK) return 0;
        VstTimeInfo& t = self->m_timeInfo;
        std::memset(&t, 0, sizeof(t));
        t.samplePos = host.samplePos;
        t.sampleRate = self->m_sampleRate;
        int32_t flags = 0;
        const auto want = [&](int32_t maskBit, uint32_t hostBit) {
            const bool take = (value & maskBit) && (host.flags & hostBit);
            if (take) flags |= maskBit;
            return take;
        };
        if (want(kVstPpqPosValid, ZUVSTTIME_PPQPOS_VALID)) t.ppqPos = host.ppqPos;
        if (want(kVstTempoValid, ZUVSTTIME_TEMPO_VALID)) t.tempo = host.tempo;
        if (want(kVstBarsValid, ZUVSTTIME_BARSTART_VALID)) t.barStartPos = host.barStartPos;
        if (want(kVstCyclePosValid, ZUVSTTIME_CYCLE_VALID)) {
            t.cycleStartPos = host.cycleStartPos;
            t.cycleEndPos = host.cycleEndPos;
        }
        if (want(kVstTimeSigValid, ZUVSTTIME_TIMESIG_VALID)) {
            t.timeSigNumerator = host.timeSigNumerator;
            t.timeSigDenominator = host.timeSigDenominator;
        }
        if (host.flags & ZUVSTTIME_TRANSPORT_CHANGED) flags |= kVstTransportChanged;
        if (host.flags & ZUVSTTIME_PLAYING) flags |= kVstTransportPlaying;
        if (host.flags & ZUVSTTIME_CYCLE_ACTIVE) flags |= kVstTransportCycleActive;
        if (host.flags & ZUVSTTIME_RECORDING) flags |= kVstTransportRecording;
        t.flags = flags;
        return reinterpret_cast<intptr_t>(&t);
    }
    case audioMasterTempoAt: {
        if (!master) return 0;
        int32_t tempo = 0;
        master->TempoAt(static_cast<int32_t>(value), &tempo);
        return tempo;
    }
    case audioMasterNeedIdle: self->SetState(EFFECT_WANTS_IDLE); return 0;
    case audioMasterSizeWindow:
        if (master && (self->StateBits() & EFFECT_EDITOR_OPEN))
            master->SizeWindow(index, static_cast<int32_t>(value));
        return 0;
    case audioMasterGetSampleRate: return static_cast<intptr_t>(self->m_sampleRate);
    case audioMasterGetBlockSize: return self->m_blockSize;
    case audioMasterGetDirectory:
        platform::WideToUtf8(self->m_szPath, self->m_szDirectory, sizeof(self->m_szDirectory));
        return reinterpret_cast<intptr_t>(self->m_szDirectory);
    case audioMasterUpdateDisplay:
        if (master) master->UpdateDisplay();
        return 1;
    case audioMasterBeginEdit:
        if (master) master->BeginEdit(index);
        return 0;
    case audioMasterEndEdit:
        if (master) master->EndEdit(index);
        return 0;
    default: return AnswerUnbound(opcode, ptr);
    }
}

} // namespace zuvst
