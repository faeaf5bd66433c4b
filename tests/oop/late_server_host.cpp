// A host whose server comes up only after the launcher's ready wait: started beside a stand-in server that
// waits six seconds before it becomes the real one. Prints what each connection gave.
#include <zuvst/launcher.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <thread>

int main()
{
    using Clock = std::chrono::steady_clock;
    for (int attempt = 0; attempt < 2; ++attempt) {
        IZuVstEffectFactory* factory = nullptr;
        uint32_t pid = 0;
        const auto start = Clock::now();
        const HRESULT hr = ConnectEffectFactory(FALSE, IID_IZuVstEffectFactory, reinterpret_cast<void**>(&factory),
                                                nullptr, nullptr, &pid);
        const long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        ZUVSTSERVEREND end {};
        GetLastServerEnd(&end);
        std::printf("attempt %d status 0x%08X pid %u started %u after %ld ms\n", attempt, uint32_t(hr), pid, end.pid, ms);
        std::fflush(stdout);
        if (factory) {
            ReleaseEffectFactory(FALSE, factory);
            kill(pid_t(pid), SIGTERM); // it showed its root window, having found no event to set
        }
        // By the second attempt the stand-in has become the real server, with a second to spare for its start.
        if (attempt == 0) std::this_thread::sleep_for(std::chrono::seconds(3));
    }
    return 0;
}
