// libFuzzer target for the preset loads: every input is a stream handed to LoadProgram (or LoadBank, with
// ZU_FUZZ_BANK) of a parameter or a chunk plug-in. Every answer must be a status; nothing may crash,
// leak or hang.
#include <dlfcn.h>

#include <cstring>
#include <string>
#include <vector>

#include "plugins/test_plugin_control.h"
#include "zuvst/streams.h"
#include "zuvstwrap/zuvsteffect/zuvst_effect.h"

namespace {

struct Target {
    zuvst::CZuVstEffect* effect;
    Target(bool chunks)
    {
        const char* file = ZT_PLUGIN_DIR "/zt_plugin.so";
        void* h = dlopen(file, RTLD_NOW | RTLD_LOCAL); // kept open: the control block lives on
        ZtControl* ctl = reinterpret_cast<ZtControlProc>(dlsym(h, "zutest_control"))();
        ctl->flags = zuvst::vst2::effFlagsCanReplacing | (chunks ? zuvst::vst2::effFlagsProgramChunks : 0);
        const std::u16string path(file, file + std::strlen(file));
        HRESULT hr;
        effect = new zuvst::CZuVstEffect(path.c_str(), 0, &hr);
    }
};

void PutBE(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Target params(false);
    static Target chunks(true);
    if (size < 1) return 0;
    // The first byte chooses the plug-in and whether the common fields are made valid, so that the
    // fuzzer reaches past the checks as well as into them.
    const uint8_t mode = data[0];
    std::vector<uint8_t> record(data + 1, data + size);
    if ((mode & 2) && record.size() >= 24) {
        static const uint32_t kinds[] = {0x4678436B, 0x46504368, 0x4678426B, 0x46424368};
        PutBE(record.data(), 0x43636E4B);
        PutBE(record.data() + 8, kinds[(mode >> 2) & 3]);
        PutBE(record.data() + 16, 0x5A74506C);
        PutBE(record.data() + 20, 1200);
    }
    IStream* stream = nullptr;
    if (FAILED(ZuCreateMemoryStream(record.data(), uint32_t(record.size()), &stream))) return 0;
    zuvst::CZuVstEffect* effect = (mode & 1) ? chunks.effect : params.effect;
#if defined(ZU_FUZZ_BANK)
    const HRESULT hr = effect->LoadBank(stream, int32_t(mode >> 4));
#else
    const HRESULT hr = effect->LoadProgram(stream);
#endif
    (void)hr;
    stream->Release();
    return 0;
}
