// The audio path: host buffers of any sample type to the plug-in's float channels and back.
#include <cstdlib>
#include <cstring>

#include "support/audio/stereo_s16.h"
#include "zuvstwrap/exception_guard.h"
#include "zuvstwrap/zuvsteffect/zuvst_effect.h"

namespace zuvst {

namespace {

// One zero-filled block: n channel pointers, then n buffers of twice the block's bytes each.
float** MakeTable(int32_t channels, int32_t needed)
{
    const size_t pointers = size_t(channels) * sizeof(float*);
    auto* block = static_cast<uint8_t*>(std::calloc(1, pointers + size_t(channels) * 2 * size_t(needed) + 1));
    if (!block) return nullptr;
    auto** table = reinterpret_cast<float**>(block);
    for (int32_t i = 0; i < channels; ++i)
        table[i] = reinterpret_cast<float*>(block + pointers + size_t(i) * 2 * size_t(needed));
    return table;
}

} // namespace

HRESULT CZuVstEffect::SetSampleType(ZUSAMPLETYPE type)
{
    m_hostSampleType = type;
    m_pluginSampleType = ZUSAMPLETYPE_FLOAT32;
    m_pfnInputKernel = ZuAudio_GetCopyChannelsFunction2(ZUSAMPLETYPE_FLOAT32, type);
    m_pfnOutputKernel = ZuAudio_GetCopyChannelsFunction2(type, ZUSAMPLETYPE_FLOAT32);
    return S_OK;
}

void CZuVstEffect::ReleaseChannelBuffers()
{
    std::free(m_ppInputs);
    std::free(m_ppOutputs);
    m_ppInputs = m_ppOutputs = nullptr;
    m_bufferCapacity = 0;
    m_tableInputs = m_tableOutputs = 0;
}

bool CZuVstEffect::EnsureChannelBuffers(int32_t frames, int32_t inputs, int32_t outputs)
{
    const int32_t needed = frames * 4;
    // Tables that fit are reused as they are: DistributeInput writes or clears every buffer's block.
    if (m_ppInputs && m_ppOutputs && m_bufferCapacity >= needed && m_tableInputs == inputs &&
        m_tableOutputs == outputs)
        return true;
    // A larger block, or channel counts the plug-in changed since: made anew for this block.
    const int32_t capacity = needed;
    ReleaseChannelBuffers();
    m_ppInputs = MakeTable(inputs, capacity);
    m_ppOutputs = m_ppInputs ? MakeTable(outputs, capacity) : nullptr;
    if (!m_ppOutputs) {
        ReleaseChannelBuffers();
        return false;
    }
    m_bufferCapacity = capacity;
    m_tableInputs = inputs;
    m_tableOutputs = outputs;
    return true;
}

void CZuVstEffect::DistributeInput(const void* input, int32_t inChannels, int32_t frames, int32_t inputs,
                                   int32_t outputs)
{
    // Every buffer's block is either written here or cleared, so no sample of an earlier block remains;
    // only the block's part is touched, being all the plug-in is given and all that reaches the host.
    const size_t bytes = size_t(frames) * 4;
    int32_t filled = 0; // input buffers [0, filled) hold the host's samples
    if (input) {
        if (inChannels == 1 && inputs >= 1) {
            m_pfnInputKernel(m_ppInputs[0], 1, 0, input, 1, 0, frames);
            filled = 1;
            if (inputs == 2 && (m_pEffect->flags & vst2::effFlagsCanMono)) {
                std::memcpy(m_ppInputs[1], m_ppInputs[0], bytes);
                filled = 2;
            }
        } else if (m_hostSampleType == ZUSAMPLETYPE_FLOAT32 && inChannels == 2 && inputs == 2) {
            ZuAudio_DeInterleaveStereo(m_ppInputs[0], m_ppInputs[1], input, ZUSAMPLETYPE_FLOAT32, frames);
            filled = 2;
        } else if (m_hostSampleType == ZUSAMPLETYPE_PCM16 && inChannels == 2 && inputs == 2) {
            audio::SplitS16ToFloat(m_ppInputs[0], m_ppInputs[1], input, frames); // the kernels' samples, fused
            filled = 2;
        } else {
            filled = std::min(inputs, inChannels);
            for (int32_t i = 0; i < filled; ++i)
                m_pfnInputKernel(m_ppInputs[i], 1, 0, input, uint32_t(inChannels), uint32_t(i), frames);
        }
    }
    for (int32_t i = filled; i < inputs; ++i) std::memset(m_ppInputs[i], 0, bytes);
    // The plug-in starts from output buffers that already hold its input; the others are silent.
    const int32_t copied = std::min(inputs, outputs);
    for (int32_t i = 0; i < copied; ++i) std::memcpy(m_ppOutputs[i], m_ppInputs[i], bytes);
    for (int32_t i = copied; i < outputs; ++i) std::memset(m_ppOutputs[i], 0, bytes);
}

void CZuVstEffect::CollectOutput(void* output, int32_t outChannels, int32_t frames, int32_t outputs)
{
    if (outChannels == 2 && outputs == 2) {
        if (m_hostSampleType == ZUSAMPLETYPE_FLOAT32) {
            ZuAudio_InterleaveStereo(output, m_ppOutputs[0], m_ppOutputs[1], ZUSAMPLETYPE_FLOAT32, frames);
            return;
        }
        if (m_hostSampleType == ZUSAMPLETYPE_PCM16) {
            audio::JoinFloatToS16(output, m_ppOutputs[0], m_ppOutputs[1], frames);
            return;
        }
    }
    for (int32_t i = 0; i < outChannels; ++i) {
        if (i < outputs)
            m_pfnOutputKernel(output, uint32_t(outChannels), uint32_t(i), m_ppOutputs[i], 1, 0, frames);
        else
            ZuAudio_MuteChannel(output, m_hostSampleType, outChannels, i, frames);
    }
}

HRESULT CZuVstEffect::Process(const void* input, int32_t inChannels, void* output, int32_t outChannels,
                              int32_t frames, int32_t bytesPerSample)
{
    if (bytesPerSample != int32_t(ZuAudio_BytesFromSampleType(m_hostSampleType))) return E_INVALIDARG;
    if (!output || inChannels < 0 || outChannels < 0 || frames < 0 || frames > INT32_MAX / 8) return E_INVALIDARG;
    if (!m_pfnInputKernel || !m_pfnOutputKernel) return E_INVALIDARG; // a host type without kernels
    vst2::AEffect* const effect = m_pEffect;
    if (!effect || IsUnchosenShell()) return ZU_E_NOTINITIALIZED;
    const int32_t inputs = std::max(effect->numInputs, 0), outputs = std::max(effect->numOutputs, 0);
    if (!EnsureChannelBuffers(frames, inputs, outputs)) return E_OUTOFMEMORY;
    DistributeInput(input, inChannels, frames, inputs, outputs);
    float** const ins = m_ppInputs;
    float** const outs = m_ppOutputs;
    if (effect->processReplacing)
        GuardedPluginCall([&] { effect->processReplacing(effect, ins, outs, frames); });
    // After a fault too: the host gets the output buffers as far as the plug-in wrote them.
    CollectOutput(output, outChannels, frames, outputs);
    return S_OK;
}

} // namespace zuvst
