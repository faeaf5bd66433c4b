// The command-line host end to end: every verb against our test plug-ins and Debian's, as a user runs it.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

const std::string kBin = ZUVST_BIN_DIR;
const std::string kPlugins = ZT_PLUGIN_DIR;

struct RunResult {
    int status;
    std::string out;
};

// Runs a command line, standard error joined to standard output.
RunResult Zuvst(const std::string& args)
{
    const std::string command = kBin + "/zuvst " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::string Temp(const std::string& name) { return "/tmp/zuvst-cli-" + std::to_string(getpid()) + "-" + name; }

std::string Slurp(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Tone(int channels = 2)
{
    const std::string file = Temp("tone" + std::to_string(channels) + ".wav");
    const std::string command = kBin + "/zuvst-tone " + file + " 0.5 " + std::to_string(channels) + " > /dev/null";
    EXPECT_EQ(system(command.c_str()), 0);
    return file;
}

} // namespace

TEST(Cli, ProbeParamsAndShellPrintJsonScriptsCanRelyOn)
{
    for (const std::string plugin : {kPlugins + "/zt_plugin.so", std::string("/usr/lib/vst/MVerb-vst.so")}) {
        for (const char* mode : {"", " --in-process"}) {
            const RunResult probe = Zuvst("probe " + plugin + " --json" + mode);
            EXPECT_EQ(probe.status, 0) << probe.out;
            for (const char* field : {"\"path\":", "\"status\":\"0x00000000\"", "\"name\":", "\"vendor\":", "\"product\":",
                                      "\"uniqueId\":", "\"version\":", "\"vendorVersion\":", "\"programs\":", "\"params\":",
                                      "\"inputs\":", "\"outputs\":", "\"initialDelay\":", "\"flags\":"})
                EXPECT_NE(probe.out.find(field), std::string::npos) << field << " in " << probe.out;
        }
        const RunResult params = Zuvst("params " + plugin + " --json");
        EXPECT_EQ(params.status, 0);
        EXPECT_EQ(params.out.front(), '[');
        EXPECT_NE(params.out.find("\"index\":0"), std::string::npos) << params.out;
    }
    const RunResult shell = Zuvst("shell " + kPlugins + "/zt_shell.so --json");
    EXPECT_EQ(shell.status, 0);
    EXPECT_NE(shell.out.find("\"uniqueId\":"), std::string::npos) << shell.out;
    // Exit statuses: 1 for a plug-in that refuses, 2 for a usage error; one line says what failed.
    const RunResult missing = Zuvst("probe /no/such/plugin.so");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.out.find("status 0x8007007E"), std::string::npos) << missing.out;
    EXPECT_EQ(Zuvst("probe").status, 2);
    EXPECT_EQ(Zuvst("frobnicate x").status, 2);
    EXPECT_EQ(Zuvst("process " + kPlugins + "/zt_plugin.so only-one-file").status, 2);
    EXPECT_EQ(Zuvst("process x a b --block 0").status, 2);
    EXPECT_EQ(Zuvst("--help").status, 0);
}

TEST(Cli, ProcessGivesTheSameSamplesInAndOutOfProcess)
{
    const std::string tone = Tone();
    for (const std::string plugin : {kPlugins + "/zt_plugin.so", std::string("/usr/lib/vst/MVerb-vst.so")}) {
        for (const char* type : {"", " --sample-type 32", " --sample-type 18"}) {
            SCOPED_TRACE(plugin + type);
            const std::string a = Temp("a.wav"), b = Temp("b.wav");
            const RunResult out = Zuvst("process " + plugin + " " + tone + " " + a + " --param 0=0.25 --quiet" + type);
            const RunResult in = Zuvst("process " + plugin + " " + tone + " " + b + " --param 0=0.25 --quiet --in-process" + type);
            EXPECT_EQ(out.status, 0) << out.out;
            EXPECT_EQ(in.status, 0) << in.out;
            EXPECT_NE(out.out.find("in a server process"), std::string::npos) << out.out;
            const std::string fileA = Slurp(a), fileB = Slurp(b);
            EXPECT_GT(fileA.size(), 44u * 1000);
            EXPECT_TRUE(fileA == fileB);
            unlink(a.c_str());
            unlink(b.c_str());
        }
    }
    // The gain plug-in at 0.25 halves the tone: the output is not the input.
    const std::string half = Temp("half.wav");
    EXPECT_EQ(Zuvst("process " + kPlugins + "/zt_plugin.so " + tone + " " + half + " --param 0=0.25 --quiet").status, 0);
    EXPECT_NE(Slurp(half), Slurp(tone));
    // A mono file through a stereo plug-in, with its tail, into FLAC.
    const std::string flac = Temp("mono.flac");
    const RunResult mono = Zuvst("process /usr/lib/vst/MVerb-vst.so " + Tone(1) + " " + flac + " --tail --quiet");
    EXPECT_EQ(mono.status, 0) << mono.out;
    EXPECT_NE(mono.out.find("into " + flac + ": 2 channel(s)"), std::string::npos) << mono.out;
    const RunResult bad = Zuvst("process /usr/lib/vst/MVerb-vst.so /no/such.wav " + flac);
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find("reading /no/such.wav failed"), std::string::npos) << bad.out;
    unlink(half.c_str());
    unlink(flac.c_str());
}

TEST(Cli, PresetSavedByOneRunLoadsIntoTheNext)
{
    const std::string tone = Tone();
    for (bool bank : {false, true}) {
        for (const std::string plugin : {kPlugins + "/zt_plugin.so", std::string("/usr/lib/vst/MVerb-vst.so")}) {
            SCOPED_TRACE(plugin);
            const std::string preset = Temp(bank ? "p.fxb" : "p.fxp"), a = Temp("a.wav"), b = Temp("b.wav");
            const std::string flag = bank ? " --bank" : "";
            EXPECT_EQ(Zuvst("process " + plugin + " " + tone + " " + a + " --param 0=0.3 --param 1=0.7 --quiet --save " +
                            preset + flag)
                          .status,
                      0);
            const RunResult again = Zuvst("process " + plugin + " " + tone + " " + b + " --quiet --load " + preset + flag);
            EXPECT_EQ(again.status, 0) << again.out;
            EXPECT_TRUE(Slurp(a) == Slurp(b)) << "the loaded preset gives the first run's sound";
            for (const std::string& f : {preset, a, b}) unlink(f.c_str());
        }
    }
}

TEST(Cli, ScanReportsEveryFileAndLeavesNoProcess)
{
    // Servers that outlive their probes come back to this process, so that none can hide.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const std::string dir = Temp("scan");
    ASSERT_EQ(system(("mkdir -p " + dir + "/sub").c_str()), 0);
    const struct {
        const char* file;
        const char* result;
    } rows[] = {{"zt_plugin", "ok"}, {"zt_kill_at_name", "crashed"}, {"zt_init_hang", "timeout"},
                {"zt_no_entry", "failed"}};
    for (const auto& row : rows)
        ASSERT_EQ(symlink((kPlugins + "/" + row.file + ".so").c_str(), (dir + "/sub/" + row.file + ".so").c_str()), 0);
    symlink("/usr/lib/vst/MVerb-vst.so", (dir + "/MVerb-vst.so").c_str());
    const RunResult scan = Zuvst("scan " + dir + " --timeout 500 --jobs 2 --json");
    EXPECT_EQ(scan.status, 0) << scan.out;
    for (const auto& row : rows) {
        const size_t at = scan.out.find(std::string(row.file) + ".so\",\"result\":\"");
        ASSERT_NE(at, std::string::npos) << row.file << "\n" << scan.out;
        EXPECT_EQ(scan.out.compare(scan.out.find("\"result\":\"", at) + 10, strlen(row.result), row.result), 0)
            << row.file << "\n" << scan.out;
    }
    EXPECT_NE(scan.out.find("was killed by signal 9"), std::string::npos) << scan.out;
    EXPECT_NE(scan.out.find("5 files in"), std::string::npos) << scan.out;
    EXPECT_NE(scan.out.find("2 ok, 1 failed, 1 crashed, 1 timeout"), std::string::npos) << scan.out;
    // Every server has ended: nothing is left to reap after a while.
    bool left = true;
    for (int i = 0; i < 100 && left; ++i) {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        left = waitpid(-1, nullptr, WNOHANG) == 0;
        if (left) usleep(50000);
    }
    EXPECT_FALSE(left) << "a server outlived the scan";
    system(("rm -rf " + dir).c_str());
    for (const char* f : {"tone1.wav", "tone2.wav"}) unlink(Temp(f).c_str());
}

// The editor of a Debian plug-in in a window of ours, on a virtual X server: it draws, and closing the
// window ends the program cleanly.
TEST(Cli, EditShowsThePluginsEditorUntilTheWindowCloses)
{
    const std::string display = ":" + std::to_string(90 + getpid() % 100);
    const pid_t xvfb = fork();
    if (xvfb == 0) {
        freopen("/dev/null", "w", stderr);
        execlp("Xvfb", "Xvfb", display.c_str(), "-screen", "0", "800x600x24", "-nolisten", "tcp", nullptr);
        _exit(127);
    }
    Display* x = nullptr;
    for (int i = 0; i < 100 && !x; ++i) {
        usleep(50000);
        x = XOpenDisplay(display.c_str());
    }
    ASSERT_NE(x, nullptr) << "Xvfb did not start";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t editor = fork();
    if (editor == 0) {
        dup2(out[1], 1);
        setenv("DISPLAY", display.c_str(), 1);
        execl((kBin + "/zuvst").c_str(), "zuvst", "edit", "/usr/lib/vst/MVerb-vst.so", nullptr);
        _exit(127);
    }
    close(out[1]);
    FILE* said = fdopen(out[0], "r");
    char line[256] = {};
    ASSERT_NE(fgets(line, sizeof(line), said), nullptr);
    unsigned long window = 0;
    int width = 0, height = 0;
    ASSERT_EQ(sscanf(strstr(line, "window ") ? strstr(line, "window ") : "", "window 0x%lx, %d x %d", &window, &width,
                     &height),
              3)
        << line;
    EXPECT_GT(width, 0);
    EXPECT_GT(height, 0);
    // What the plug-in drew: more than one colour in the window.
    bool drawn = false;
    for (int attempt = 0; attempt < 40 && !drawn; ++attempt) {
        usleep(100000);
        XImage* image = XGetImage(x, Window(window), 0, 0, unsigned(width), unsigned(height), AllPlanes, ZPixmap);
        if (!image) continue;
        const unsigned long first = XGetPixel(image, 0, 0);
        for (int yy = 0; yy < height && !drawn; yy += 3)
            for (int xx = 0; xx < width && !drawn; xx += 3) drawn = XGetPixel(image, xx, yy) != first;
        XDestroyImage(image);
    }
    EXPECT_TRUE(drawn) << "the editor's window stayed blank";
    // Closing the window as a window manager would.
    XEvent close {};
    close.xclient.type = ClientMessage;
    close.xclient.window = Window(window);
    close.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
    close.xclient.format = 32;
    close.xclient.data.l[0] = long(XInternAtom(x, "WM_DELETE_WINDOW", False));
    XSendEvent(x, Window(window), False, NoEventMask, &close);
    XFlush(x);
    int status = -1;
    for (int i = 0; i < 100; ++i) {
        if (waitpid(editor, &status, WNOHANG) == editor) break;
        usleep(50000);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    fclose(said);
    XCloseDisplay(x);
    kill(xvfb, SIGTERM);
    waitpid(xvfb, nullptr, 0);
}
