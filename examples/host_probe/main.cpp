// A host program: creates an effect for a plug-in and prints its names and information record.
#include <zuvst/launcher.h>
#include <zuvst/support.h>

#include <cstdio>
#include <string>

static std::string Narrow(const char16_t* s)
{
    std::string out;
    for (; *s; ++s) out += *s < 0x80 ? static_cast<char>(*s) : '?';
    return out;
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: host_probe PLUGIN\n");
        return 2;
    }
    const std::string file = argv[1];
    const std::u16string path(file.begin(), file.end());
    IZuVstEffect* effect = nullptr;
    const HRESULT hr = CreateVstEffect(path.c_str(), 0, IID_IZuVstEffect, reinterpret_cast<void**>(&effect));
    if (hr < 0) {
        std::fprintf(stderr, "host_probe: creating the effect failed: 0x%08X\n", static_cast<unsigned>(hr));
        return 1;
    }
    char16_t name[64], vendor[64], product[64];
    ZUVSTEFFECTINFO info {};
    effect->GetEffectName(name, 64);
    effect->GetVendorString(vendor, 64);
    effect->GetProductString(product, 64);
    effect->GetInfo(&info);
    std::printf("%s | %s | %s | id 0x%08X version %d programs %d params %d in %d out %d delay %d flags 0x%X\n",
                Narrow(name).c_str(), Narrow(vendor).c_str(), Narrow(product).c_str(),
                static_cast<unsigned>(info.uniqueID), info.version, info.numPrograms, info.numParams,
                info.numInputs, info.numOutputs, info.initialDelay, static_cast<unsigned>(info.flags));
    effect->Release();

    // The same plug-in in a server process: the launcher starts zuvstserver from the installed layout.
    IZuVstEffectFactory* factory = nullptr;
    uint32_t serverPid = 0;
    HRESULT connected = ConnectEffectFactory(FALSE, IID_IZuVstEffectFactory, reinterpret_cast<void**>(&factory),
                                             u"zuvst examples", u"host_probe", &serverPid);
    if (connected < 0) {
        std::fprintf(stderr, "host_probe: no server: 0x%08X\n", static_cast<unsigned>(connected));
        return 1;
    }
    IZuVstEffect* remote = nullptr;
    connected = factory->CreateEffect(path.c_str(), 0, IID_IZuVstEffect, reinterpret_cast<void**>(&remote));
    if (connected < 0) {
        std::fprintf(stderr, "host_probe: creating the effect in the server failed: 0x%08X\n",
                     static_cast<unsigned>(connected));
        return 1;
    }
    float in[2 * 256] = {}, out[2 * 256] = {};
    in[0] = 1.0f;
    remote->SetSampleRate(48000.0);
    remote->SetBlockSize(256);
    remote->Start(FALSE);
    const HRESULT processed = remote->Process(in, 2, out, 2, 256, 4);
    remote->GetEffectName(name, 64);
    std::printf("server %u: %s, one block processed: 0x%08X\n", serverPid, Narrow(name).c_str(),
                static_cast<unsigned>(processed));
    remote->Release();
    ReleaseEffectFactory(FALSE, factory);

    // The support routines: a 16-bit sample into float, and a string of the library's tables.
    const int16_t sample = -16384;
    float converted = 0.0f;
    ZuAudio_GetCopyChannelsFunction2(ZUSAMPLETYPE_FLOAT32, ZUSAMPLETYPE_PCM16)(&converted, 1, 0, &sample, 1, 0, 1);
    HZULANG lang = nullptr;
    ZuLang_Open(&lang, nullptr, 0, 0);
    std::printf("support: -16384 as float %g, processor word 0x%X, string 48368 \"%s\"\n", converted,
                ZuGetCPUSupport(0), Narrow(ZuGetString(lang, 48368)).c_str());
    ZuLang_Close(lang);
    return 0;
}
