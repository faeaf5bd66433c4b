// zuvst process: an audio file through a plug-in into another audio file, with presets and parameters.
#include <sndfile.h>
#include <unistd.h>
#include <zuvst/streams.h>
#include <zuvst/support.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "cli.h"

namespace zuvst_cli {

namespace {

struct SoundFile {
    SNDFILE* file = nullptr;
    ~SoundFile()
    {
        if (file) sf_close(file);
    }
};

struct Released {
    IUnknown* p = nullptr;
    ~Released()
    {
        if (p) p->Release();
    }
};

// The host sample type that carries a file's samples without loss.
ZUSAMPLETYPE TypeForFormat(int format)
{
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_U8: return ZUSAMPLETYPE_PCM8;
    case SF_FORMAT_PCM_S8: return ZUSAMPLETYPE_PCM8_SIGNED;
    case SF_FORMAT_PCM_16: return ZUSAMPLETYPE_PCM16;
    case SF_FORMAT_PCM_24: return ZUSAMPLETYPE_PCM24;
    case SF_FORMAT_PCM_32: return ZUSAMPLETYPE_PCM32;
    case SF_FORMAT_DOUBLE: return ZUSAMPLETYPE_FLOAT64;
    default: return ZUSAMPLETYPE_FLOAT32;
    }
}

// The output's container from its name, its sample format from the input's where the container takes it.
int OutputFormat(const std::string& path, int inputFormat, int channels, int rate)
{
    std::string ext = path.substr(path.find_last_of('.') == std::string::npos ? path.size() : path.find_last_of('.') + 1);
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    int major = inputFormat & SF_FORMAT_TYPEMASK;
    if (ext == "wav") major = SF_FORMAT_WAV;
    else if (ext == "aif" || ext == "aiff") major = SF_FORMAT_AIFF;
    else if (ext == "flac") major = SF_FORMAT_FLAC;
    else if (ext == "ogg") major = SF_FORMAT_OGG;
    else if (ext == "caf") major = SF_FORMAT_CAF;
    else if (ext == "au") major = SF_FORMAT_AU;
    SF_INFO probe {};
    probe.channels = channels;
    probe.samplerate = rate;
    for (int sub : {inputFormat & SF_FORMAT_SUBMASK, int(SF_FORMAT_PCM_24), int(SF_FORMAT_PCM_16), int(SF_FORMAT_VORBIS),
                    int(SF_FORMAT_FLOAT)}) {
        probe.format = major | sub;
        if (sf_format_check(&probe)) return probe.format;
    }
    return 0;
}

void ShowProgress(long long done, long long total)
{
    static int shown = -1; // redrawn only when the percentage moves
    const int percent = total > 0 ? int(std::min<long long>(100, done * 100 / total)) : 100;
    if (percent == shown) return;
    shown = percent;
    const int width = 40;
    const int filled = total > 0 ? int(std::min<long long>(width, done * width / total)) : width;
    std::fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "########################################", width - filled, "",
                 total > 0 ? int(std::min<long long>(100, done * 100 / total)) : 100);
}

HRESULT Preset(IZuVstEffect* effect, const Options& o, bool save)
{
    const std::string& file = save ? o.save : o.load;
    IStream* stream = nullptr;
    HRESULT hr = ZuCreateFileStream(Widen(file).c_str(), save ? ZU_FILE_CREATE : ZU_FILE_READ, &stream);
    if (FAILED(hr)) return hr;
    if (save)
        hr = o.bank ? effect->SaveBank(stream, nullptr) : effect->SaveProgram(stream, nullptr);
    else
        hr = o.bank ? effect->LoadBank(stream, std::max(o.program, 0)) : effect->LoadProgram(stream);
    stream->Release();
    return hr;
}

} // namespace

int ProcessFile(IZuVstEffectFactory* factory, const Options& o)
{
    const std::string& inPath = o.files[0];
    const std::string& outPath = o.files[1];
    SF_INFO inInfo {};
    SoundFile in;
    in.file = sf_open(inPath.c_str(), SFM_READ, &inInfo);
    if (!in.file) {
        std::fprintf(stderr, "zuvst: reading %s failed: %s\n", inPath.c_str(), sf_strerror(nullptr));
        return 1;
    }
    IZuVstEffect* effect = nullptr;
    HRESULT hr = factory->CreateEffect(Widen(o.plugin).c_str(), o.uniqueId, IID_IZuVstEffect, reinterpret_cast<void**>(&effect));
    if (FAILED(hr)) return Fail(("loading " + o.plugin).c_str(), hr);
    Released holdEffect {effect};
    ZUVSTEFFECTINFO info {};
    effect->GetInfo(&info);
    char16_t name[64] = {};
    effect->GetEffectName(name, 64);
    const int inChannels = inInfo.channels;
    const int outChannels = info.numOutputs > 0 ? info.numOutputs : inChannels;
    const double rate = o.rate > 0 ? o.rate : double(inInfo.samplerate);
    SF_INFO outInfo {};
    outInfo.channels = outChannels;
    outInfo.samplerate = int(rate);
    outInfo.format = OutputFormat(outPath, inInfo.format, outChannels, int(rate));
    if (!outInfo.format) {
        std::fprintf(stderr, "zuvst: no format for %s with %d channels at %d Hz\n", outPath.c_str(), outChannels, int(rate));
        return 1;
    }
    const ZUSAMPLETYPE type = o.sampleType ? o.sampleType : TypeForFormat(outInfo.format);
    const ZUCOPYCHANNELSPROC toHost = ZuAudio_GetCopyChannelsFunction2(type, ZUSAMPLETYPE_FLOAT64);
    const ZUCOPYCHANNELSPROC fromHost = ZuAudio_GetCopyChannelsFunction2(ZUSAMPLETYPE_FLOAT64, type);
    const int32_t bytes = int32_t(ZuAudio_BytesFromSampleType(type));
    if (!toHost || !fromHost || bytes <= 0) {
        std::fprintf(stderr, "zuvst: sample type %d has no conversions\n", type);
        return 2;
    }

    if ((hr = effect->SetSampleRate(rate)) < 0 || (hr = effect->SetBlockSize(o.block)) < 0 ||
        (hr = effect->SetSampleType(type)) < 0)
        return Fail("setting up the effect", hr);
    if (!o.load.empty() && FAILED(hr = Preset(effect, o, false))) return Fail(("loading the preset " + o.load).c_str(), hr);
    if (o.program >= 0 && !(o.bank && !o.load.empty()) && FAILED(hr = effect->SetProgram(o.program)))
        return Fail("choosing the program", hr);
    for (const auto& [index, value] : o.params)
        if (FAILED(hr = effect->SetParameter(index, value))) return Fail(("setting parameter " + std::to_string(index)).c_str(), hr);

    SoundFile out;
    out.file = sf_open(outPath.c_str(), SFM_WRITE, &outInfo);
    if (!out.file) {
        std::fprintf(stderr, "zuvst: writing %s failed: %s\n", outPath.c_str(), sf_strerror(nullptr));
        return 1;
    }
    if (FAILED(hr = effect->Start(FALSE))) return Fail("starting the effect", hr);

    int32_t tail = 0;
    if (o.tail && SUCCEEDED(effect->GetTailSize(&tail)) && tail <= 1) tail = 0; // 1: the plug-in has no tail
    const long long inputFrames = inInfo.frames;
    const long long total = inputFrames + tail;
    const bool progress = o.progress == 1 || (o.progress == -1 && isatty(2));
    const size_t block = size_t(o.block);
    std::vector<double> inFile(block * size_t(inChannels)), outFile(block * size_t(outChannels));
    std::vector<uint8_t> inHost(inFile.size() * size_t(bytes)), outHost(outFile.size() * size_t(bytes));
    long long done = 0;
    while (done < total) {
        const int32_t frames = int32_t(std::min<long long>(o.block, total - done));
        long long got = 0;
        if (done < inputFrames) got = sf_readf_double(in.file, inFile.data(), frames);
        std::fill(inFile.begin() + got * inChannels, inFile.begin() + size_t(frames) * size_t(inChannels), 0.0);
        toHost(inHost.data(), 1, 0, inFile.data(), 1, 0, frames * inChannels);
        hr = effect->Process(inHost.data(), inChannels, outHost.data(), outChannels, frames, bytes);
        if (FAILED(hr)) {
            if (progress) std::fputc('\n', stderr);
            return Fail("processing", hr);
        }
        fromHost(outFile.data(), 1, 0, outHost.data(), 1, 0, frames * outChannels);
        if (sf_writef_double(out.file, outFile.data(), frames) != frames) {
            std::fprintf(stderr, "zuvst: writing %s failed: %s\n", outPath.c_str(), sf_strerror(out.file));
            return 1;
        }
        done += frames;
        if (done < inputFrames && got < frames) break; // the input ended early
        if (progress) ShowProgress(done, total);
    }
    if (progress) std::fputc('\n', stderr);
    effect->Stop(FALSE);
    if (!o.save.empty() && FAILED(hr = Preset(effect, o, true))) return Fail(("saving the preset " + o.save).c_str(), hr);
    std::printf("%s: %lld frames of %d channel(s) at %g Hz through %s (%s) into %s: %d channel(s), sample type %d\n",
                inPath.c_str(), done, inChannels, rate, Narrow(name).c_str(),
                o.inProcess ? "in this process" : "in a server process", outPath.c_str(), outChannels, type);
    return 0;
}

} // namespace zuvst_cli
