// Out of process against in process: a block of Process and a control call, beside a raw futex round trip
// and a raw Unix-socket round trip between two processes measured in the same run; the time from no
// server to a factory; an idle server's resident memory. Each benchmark reports median and p99 per call.
#include <benchmark/benchmark.h>

#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "zuvst/launcher.h"

namespace {

using Clock = std::chrono::steady_clock;

// Times every iteration alone and reports the median and the 99th percentile.
template <class Body> void Timed(benchmark::State& state, Body&& body)
{
    std::vector<double> samples;
    samples.reserve(200000);
    for (auto _ : state) {
        const auto start = Clock::now();
        body();
        samples.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count());
    }
    std::sort(samples.begin(), samples.end());
    if (samples.empty()) return;
    state.counters["median_ns"] = samples[samples.size() / 2];
    state.counters["p99_ns"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
}

long Futex(std::atomic<uint32_t>* word, int op, uint32_t value)
{
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, value, nullptr, nullptr, 0);
}

// Two words in a shared mapping; the child answers each ring of the first by ringing the second.
void RawFutexRoundTrip(benchmark::State& state)
{
    auto* words = static_cast<std::atomic<uint32_t>*>(
        mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    new (&words[0]) std::atomic<uint32_t>(0);
    new (&words[1]) std::atomic<uint32_t>(0);
    const pid_t child = fork();
    if (child == 0) {
        uint32_t seen = 0;
        for (;;) {
            uint32_t now;
            while ((now = words[0].load()) == seen) Futex(&words[0], FUTEX_WAIT, seen);
            if (now == UINT32_MAX) _exit(0);
            seen = now;
            words[1].store(now);
            Futex(&words[1], FUTEX_WAKE, INT_MAX);
        }
    }
    uint32_t n = 0;
    Timed(state, [&] {
        const uint32_t number = ++n;
        words[0].store(number);
        Futex(&words[0], FUTEX_WAKE, INT_MAX);
        uint32_t seen;
        while ((seen = words[1].load()) != number) Futex(&words[1], FUTEX_WAIT, seen);
    });
    words[0].store(UINT32_MAX);
    Futex(&words[0], FUTEX_WAKE, INT_MAX);
    waitpid(child, nullptr, 0);
    munmap(words, 4096);
}

// A 64-byte request answered by a 64-byte reply, the size of a small call and its answer.
void RawSocketRoundTrip(benchmark::State& state)
{
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        char buffer[64];
        while (read(fds[1], buffer, sizeof(buffer)) == ssize_t(sizeof(buffer)))
            if (write(fds[1], buffer, sizeof(buffer)) != ssize_t(sizeof(buffer))) break;
        _exit(0);
    }
    close(fds[1]);
    char buffer[64] = {};
    Timed(state, [&] {
        if (write(fds[0], buffer, sizeof(buffer)) != ssize_t(sizeof(buffer))) state.SkipWithError("write");
        if (read(fds[0], buffer, sizeof(buffer)) != ssize_t(sizeof(buffer))) state.SkipWithError("read");
    });
    close(fds[0]);
    waitpid(child, nullptr, 0);
}

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

const char* PluginFile(int which) { return which == 0 ? ZT_PLUGIN_DIR "/zt_plugin.so" : "/usr/lib/vst/MVerb-vst.so"; }

struct Effects {
    IZuVstEffect* local = nullptr;
    IZuVstEffect* remote = nullptr;
    IZuVstEffectFactory* remoteFactory = nullptr;
};

Effects& EffectsFor(int which)
{
    static Effects effects[2];
    Effects& e = effects[which];
    if (e.local) return e;
    IZuVstEffectFactory* local = nullptr;
    ConnectEffectFactory(TRUE, IID_IZuVstEffectFactory, reinterpret_cast<void**>(&local), nullptr, nullptr, nullptr);
    ConnectEffectFactory(FALSE, IID_IZuVstEffectFactory, reinterpret_cast<void**>(&e.remoteFactory), nullptr, nullptr,
                         nullptr);
    const std::u16string path = Wide(PluginFile(which));
    local->CreateEffect(path.c_str(), 0, IID_IZuVstEffect, reinterpret_cast<void**>(&e.local));
    if (e.remoteFactory)
        e.remoteFactory->CreateEffect(path.c_str(), 0, IID_IZuVstEffect, reinterpret_cast<void**>(&e.remote));
    local->Release();
    for (IZuVstEffect* fx : {e.local, e.remote}) {
        if (!fx) continue;
        fx->SetSampleRate(48000.0);
        fx->SetBlockSize(512);
        fx->SetSampleType(32);
        fx->Start(FALSE);
    }
    return e;
}

// range(0): 0 the gain test plug-in, 1 MVerb; range(1): frames; range(2): 0 in process, 1 out of process.
void Process(benchmark::State& state)
{
    Effects& e = EffectsFor(int(state.range(0)));
    IZuVstEffect* fx = state.range(2) ? e.remote : e.local;
    if (!fx) {
        state.SkipWithError("no effect");
        return;
    }
    const int frames = int(state.range(1));
    std::vector<float> in(size_t(frames) * 2, 0.25f), out(in.size());
    Timed(state, [&] { fx->Process(in.data(), 2, out.data(), 2, frames, 4); });
}

void GetParameter(benchmark::State& state)
{
    Effects& e = EffectsFor(0);
    IZuVstEffect* fx = state.range(0) ? e.remote : e.local;
    float value;
    Timed(state, [&] { fx->GetParameter(0, &value); });
}

uint32_t StartFreshServer(IZuVstEffectFactory** factory)
{
    uint32_t pid = 0;
    ConnectEffectFactory(FALSE, IID_IZuVstEffectFactory, reinterpret_cast<void**>(factory), nullptr, nullptr, &pid);
    return pid;
}

// From no server to a factory: every iteration starts, uses and ends a server of its own.
void ConnectFromNoServer(benchmark::State& state)
{
    std::vector<double> samples;
    for (auto _ : state) {
        IZuVstEffectFactory* factory = nullptr;
        const auto start = Clock::now();
        const uint32_t pid = StartFreshServer(&factory);
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        state.PauseTiming();
        ReleaseEffectFactory(FALSE, factory);
        if (pid) kill(pid_t(pid), SIGTERM); // never called, it would run until this process ends
        usleep(20000);
        state.ResumeTiming();
    }
    std::sort(samples.begin(), samples.end());
    state.counters["median_ms"] = samples[samples.size() / 2];
    state.counters["p99_ms"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
}

void IdleServerMemory(benchmark::State& state)
{
    IZuVstEffectFactory* factory = nullptr;
    const uint32_t pid = StartFreshServer(&factory);
    long rssKiB = 0;
    for (auto _ : state) {
        usleep(100000);
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmRSS:", 0) == 0) rssKiB = std::stol(line.substr(6));
    }
    state.counters["rss_MiB"] = double(rssKiB) / 1024.0;
    ReleaseEffectFactory(FALSE, factory);
    if (pid) kill(pid_t(pid), SIGTERM);
}

} // namespace

BENCHMARK(RawFutexRoundTrip)->MinTime(1.0);
BENCHMARK(RawSocketRoundTrip)->MinTime(1.0);
BENCHMARK(Process)
    ->ArgNames({"mverb", "frames", "oop"})
    ->ArgsProduct({{0, 1}, {64, 128, 512}, {0, 1}})
    ->MinTime(1.0);
BENCHMARK(GetParameter)->ArgName("oop")->Arg(0)->Arg(1)->MinTime(1.0);
BENCHMARK(ConnectFromNoServer)->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(IdleServerMemory)->Iterations(1);

BENCHMARK_MAIN();
