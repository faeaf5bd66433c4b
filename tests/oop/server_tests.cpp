// The server process: its command line, its lifetime, the launcher's state, and connections that break the
// protocol or come from another user.
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "oop/oop_support.h"
#include "platform/ipc.h"
#include "platform/text.h"
#include "zuvstps/apartment.h"
#include "zuvstps/wire.h"
#include "zuvstwrap/server/command_line.h"
#include "zuvstwrap/server/server.h"

using namespace zuvst;
using namespace zuvst::vst2;

namespace {

std::string ServerSocket(uint32_t pid) { return platform::RendezvousPath(ps::GuidText(ServerClassId(pid))); }

// Sends bytes on a fresh connection to the server and reports whether the server closed it (within three
// seconds: a handshake has two).
bool ServerCloses(uint32_t pid, const std::vector<uint8_t>& bytes)
{
    const int fd = platform::ConnectTo(ServerSocket(pid));
    if (fd < 0) return false;
    platform::SendAll(fd, bytes.data(), bytes.size());
    bool closed = false;
    for (int i = 0; i < 12 && !closed; ++i) {
        if (!platform::WaitReadable(fd, 250)) continue;
        uint8_t sink[256];
        const long n = platform::ReceiveSome(fd, sink, sizeof(sink), true, nullptr);
        closed = n == 0 || n == -1; // a close with our bytes unread arrives as a reset
    }
    platform::CloseFd(fd);
    return closed;
}

std::vector<uint8_t> Message(ps::MessageKind kind, const void* body, size_t size, uint32_t length = 0)
{
    std::vector<uint8_t> m;
    ps::StartMessage(&m, kind, 0, 1, 0);
    m.insert(m.end(), static_cast<const uint8_t*>(body), static_cast<const uint8_t*>(body) + size);
    reinterpret_cast<ps::MessageHeader*>(m.data())->length = length ? length : uint32_t(m.size());
    return m;
}

int RunServerByHand(uint32_t* pid)
{
    const std::string program = std::string(ZUVST_BIN_DIR) + "/zuvstserver";
    const pid_t child = fork();
    if (child == 0) {
        freopen("/dev/null", "w", stderr);
        execl(program.c_str(), program.c_str(), "/event", nullptr); // an option without a value: no event
        _exit(127);
    }
    *pid = uint32_t(child);
    // Ready once its class object answers.
    for (int i = 0; i < 400; ++i) {
        bool refused;
        const int fd = platform::ConnectTo(ServerSocket(*pid), &refused);
        if (fd >= 0) {
            platform::CloseFd(fd);
            return 0;
        }
        usleep(5000);
    }
    return -1;
}

int ExitCode(uint32_t pid, int timeoutMs)
{
    for (int waited = 0; waited <= timeoutMs; waited += 5) {
        int status = 0;
        if (waitpid(pid_t(pid), &status, WNOHANG) == pid_t(pid)) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        usleep(5000);
    }
    return -2;
}

} // namespace

TEST(CommandLine, OptionRules)
{
    const struct {
        std::vector<const char*> argv;
        const WCHAR* event;
        const WCHAR* vendor;
        const WCHAR* product;
    } rows[] = {
        {{"s", "-Event", "E1", "-Vendor", "V", "-Product", "P"}, u"E1", u"V", u"P"},
        {{"s", "/PRODUCT", "P", "-vendor", "V", "/eVeNt", "E1"}, u"E1", u"V", u"P"},
        {{"s", "--Event", "E1", "-Event/x", "E2"}, u"E1", nullptr, nullptr},  // first occurrence counts
        {{"s", "-Vendor", "A-B", "-Product", "/P"}, nullptr, u"A", nullptr}, // cut at '-'; '/' makes it missing
        {{"s", "-Vendor", "V", "-Event"}, nullptr, u"V", nullptr},             // the last element has no value
        {{"s", "Event", "E1", "-", "-Product", ""}, nullptr, nullptr, nullptr}, // no delimiter: a value
        {{"s"}, nullptr, nullptr, nullptr},
    };
    for (const auto& row : rows) {
        std::vector<char*> argv;
        for (const char* a : row.argv) argv.push_back(const_cast<char*>(a));
        // Every lookup order gives the same answers, as each element is cut the same way.
        for (int order = 0; order < 2; ++order) {
            CommandLineArgs args = MakeCommandLineArgs(int(argv.size()), argv.data());
            const WCHAR* got[3];
            const WCHAR* names[3] = {u"Event", u"Vendor", u"Product"};
            for (int i = 0; i < 3; ++i) {
                const int k = order ? 2 - i : i;
                got[k] = GetOptionValue(args, names[k]);
            }
            const WCHAR* want[3] = {row.event, row.vendor, row.product};
            for (int i = 0; i < 3; ++i) {
                if (!want[i])
                    EXPECT_EQ(got[i], nullptr) << row.argv.size() << " " << i;
                else
                    EXPECT_EQ(got[i] ? std::u16string(got[i]) : u"<null>", std::u16string(want[i]));
            }
        }
    }
}

TEST(CommandLine, LauncherBuildsItWholeAndTheServerReadsItBack)
{
    const std::u16string line =
        BuildServerCommandLine(u"/opt/zu vst/bin/zuvstserver", u"KelvadiVstServerEvent_1234", u"Acme Audio", u"Mixer 9");
    EXPECT_EQ(line, u"\"/opt/zu vst/bin/zuvstserver\" -Event KelvadiVstServerEvent_1234 -Vendor \"Acme Audio\" "
                    u"-Product \"Mixer 9\"");
    const auto elements = SplitCommandLine(line);
    ASSERT_EQ(elements.size(), 7u);
    EXPECT_EQ(elements[0], u"/opt/zu vst/bin/zuvstserver");
    EXPECT_EQ(elements[4], u"Acme Audio");
    EXPECT_EQ(elements[6], u"Mixer 9");
    // No cut at 260 units: a long vendor arrives whole and the event keeps its name.
    const std::u16string vendor(400, u'v');
    EXPECT_EQ(SplitCommandLine(BuildServerCommandLine(u"/s", u"E", vendor.c_str(), nullptr))[4], vendor);
    EXPECT_EQ(BuildServerCommandLine(u"/s", u"E", nullptr, nullptr), u"/s -Event E");
    EXPECT_EQ(SplitCommandLine(u"a \"b c\" d\\\"e \\\\\"f g\""), (std::vector<std::u16string> {u"a", u"b c", u"d\"e", u"\\f g"}));
}

TEST(Launcher, ReusesItsServerAndStartsAFreshOneAfterTheLastRelease)
{
    TestPlugin plugin;
    uint32_t first = 0;
    {
        ServerFactory a(u"Vendor A", u"Product A"), b;
        ASSERT_EQ(a.status, S_OK);
        EXPECT_NE(a.pid, 0u);
        EXPECT_EQ(b.pid, a.pid);
        first = a.pid;
        // The host strings reached the server through its command line.
        IZuVstEffect* effect = a.Create(plugin.path);
        ASSERT_NE(effect, nullptr);
        plugin->callbacks[0] = ZtCallbackRequest {};
        plugin->callbacks[0].when = effGetVendorString;
        plugin->callbacks[0].opcode = audioMasterGetVendorString;
        plugin->callbacks[1] = plugin->callbacks[0];
        plugin->callbacks[1].opcode = audioMasterGetProductString;
        plugin->numCallbacks = 2;
        WCHAR text[64];
        effect->GetVendorString(text, 64);
        plugin->numCallbacks = 0;
        const auto logged = plugin.Entries(ZT_CALLBACK);
        ASSERT_EQ(logged.size(), 2u);
        EXPECT_STREQ(logged[0].text, "Vendor A");
        EXPECT_STREQ(logged[1].text, "Product A");
        effect->Release();
    }
    EXPECT_EQ(ReleaseEffectFactory(FALSE, nullptr), 0);
    // Its last effect ended the first server; the next call starts a new one, which, never asked for an
    // effect, keeps running.
    EXPECT_TRUE(ProcessGone(first, 2000));
    ServerFactory c;
    EXPECT_NE(c.pid, first);
    EXPECT_FALSE(ProcessGone(c.pid, 300));
}

TEST(Lifetime, LastEffectOrUnlockEndsTheServer)
{
    TestPlugin plugin;
    for (bool locked : {false, true}) {
        SCOPED_TRACE(locked);
        ServerFactory server;
        IZuVstEffect* effect = server.Create(plugin.path);
        ASSERT_NE(effect, nullptr);
        if (locked) {
            EXPECT_EQ(server->LockServer(TRUE), S_OK);
        }
        effect->Release();
        if (locked) {
            EXPECT_FALSE(ProcessGone(server.pid, 200)); // the lock keeps it
            EXPECT_EQ(server->LockServer(FALSE), S_OK);
        }
        EXPECT_TRUE(ProcessGone(server.pid, 2000));
        const ZUVSTSERVEREND end = WaitForServerEnd(2000);
        EXPECT_EQ(end.state, ZUVST_SERVER_EXITED);
        EXPECT_EQ(end.code, 0);
        // The factory of a server that ended answers as disconnected.
        EXPECT_EQ(server->LockServer(TRUE), RPC_E_DISCONNECTED);
    }
}

TEST(Lifetime, ServerStartedByHandShowsItsRootWindowUntilClosed)
{
    TestPlugin plugin;
    for (bool effectAlive : {false, true}) {
        SCOPED_TRACE(effectAlive);
        uint32_t pid = 0;
        ASSERT_EQ(RunServerByHand(&pid), 0);
        IClassFactory* classObject = nullptr;
        ASSERT_EQ(ps::ConnectClassObject(ServerClassId(pid), IID_IClassFactory, reinterpret_cast<void**>(&classObject),
                                         nullptr),
                  S_OK);
        IZuVstEffectFactory* factory = nullptr;
        ASSERT_EQ(classObject->CreateInstance(nullptr, IID_IZuVstEffectFactory, reinterpret_cast<void**>(&factory)), S_OK);
        classObject->Release();
        IZuVstEffect* effect = nullptr;
        if (effectAlive)
            factory->CreateEffect(plugin.path.c_str(), 0, IID_IZuVstEffect, reinterpret_cast<void**>(&effect));
        EXPECT_FALSE(ProcessGone(pid, 100)) << "the root window keeps it";
        kill(pid_t(pid), SIGINT); // closes the root window
        if (effect) {
            EXPECT_EQ(ExitCode(pid, 200), -2) << "an effect still in use keeps it";
            ZUVSTEFFECTINFO info;
            EXPECT_EQ(effect->GetInfo(&info), S_OK);
            effect->Release();
        }
        EXPECT_EQ(ExitCode(pid, 2000), 0);
        factory->Release();
    }
}

TEST(Protocol, BadConnectionsAreClosedAndTheServerServesOn)
{
    TestPlugin plugin;
    ServerFactory server;
    IZuVstEffect* effect = server.Create(plugin.path);
    ASSERT_NE(effect, nullptr);
    ps::HelloRecord hello = ps::MakeHello(ps::kRoleOpen, 0, IID_IClassFactory);
    ps::HelloRecord wrongVersion = hello;
    wrongVersion.version = 99;
    ps::HelloRecord wrongSizes = hello;
    wrongSizes.timeInfoSize = 60;
    ps::HelloRecord strangerJoin = ps::MakeHello(ps::kRoleJoin, 0x1234, IID {});
    std::vector<uint8_t> garbage(200);
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = uint8_t(i * 37 + 11);
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
    } rows[] = {
        {"garbage", garbage},
        {"length below a header", Message(ps::MessageKind::Hello, &hello, sizeof(hello), 8)},
        {"length above the limit", Message(ps::MessageKind::Hello, &hello, sizeof(hello), ps::kMaxMessageBytes + 1)},
        {"wrong protocol version", Message(ps::MessageKind::Hello, &wrongVersion, sizeof(wrongVersion))},
        {"wrong record sizes", Message(ps::MessageKind::Hello, &wrongSizes, sizeof(wrongSizes))},
        {"a call before the handshake", Message(ps::MessageKind::Call, &hello, sizeof(hello))},
        {"joining a session that is not there", Message(ps::MessageKind::Hello, &strangerJoin, sizeof(strangerJoin))},
        {"a handshake that never completes", Message(ps::MessageKind::Hello, &hello, 10, sizeof(ps::MessageHeader) + 48)},
    };
    for (const auto& row : rows) EXPECT_TRUE(ServerCloses(server.pid, row.bytes)) << row.name;
    // A session whose callback connection sends a malformed call ends; the other sessions go on.
    {
        const int fd = platform::ConnectTo(ServerSocket(server.pid));
        auto open = Message(ps::MessageKind::Hello, &hello, sizeof(hello));
        platform::SendAll(fd, open.data(), open.size());
        uint8_t welcome[64];
        ASSERT_TRUE(platform::WaitReadable(fd, 1000));
        EXPECT_EQ(platform::ReceiveSome(fd, welcome, sizeof(welcome), true, nullptr), long(32 + sizeof(ps::WelcomeRecord)));
        const ps::WelcomeRecord* w = reinterpret_cast<const ps::WelcomeRecord*>(welcome + 32);
        std::vector<uint8_t> call;
        ps::StartMessage(&call, ps::MessageKind::Call, 3, 7, w->object);
        call.push_back(9); // CreateInstance with a truncated interface argument
        reinterpret_cast<ps::MessageHeader*>(call.data())->length = uint32_t(call.size());
        platform::SendAll(fd, call.data(), call.size());
        EXPECT_TRUE(platform::WaitReadable(fd, 1000));
        const long n = platform::ReceiveSome(fd, welcome, sizeof(welcome), true, nullptr);
        EXPECT_TRUE(n == 0 || n == -1) << n; // closed (or reset)
        platform::CloseFd(fd);
    }
    ZUVSTEFFECTINFO info {};
    EXPECT_EQ(effect->GetInfo(&info), S_OK);
    EXPECT_EQ(info.uniqueID, plugin->uniqueID);
    effect->Release();
}

TEST(Protocol, AnotherUserIsRefused)
{
    ServerFactory server;
    ASSERT_EQ(server.status, S_OK);
    const std::string path = ServerSocket(server.pid);
    const pid_t child = fork();
    if (child == 0) {
        // Another user that may still pass the directory's permissions, so that the server's own check decides.
        prctl(PR_SET_KEEPCAPS, 1);
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(10);
        __user_cap_header_struct header {_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2] = {};
        data[0].effective = data[0].permitted = 1u << CAP_DAC_OVERRIDE;
        if (syscall(SYS_capset, &header, data) != 0) _exit(11);
        const int fd = platform::ConnectTo(path);
        if (fd < 0) _exit(12);
        ps::HelloRecord hello = ps::MakeHello(ps::kRoleOpen, 0, IID_IClassFactory);
        auto m = Message(ps::MessageKind::Hello, &hello, sizeof(hello));
        platform::SendAll(fd, m.data(), m.size());
        uint8_t reply[64];
        if (!platform::WaitReadable(fd, 2000)) _exit(13);
        // Closed, or reset as the server closed with our hello unread: either way no welcome came.
        const long n = platform::ReceiveSome(fd, reply, sizeof(reply), true, nullptr);
        _exit(n == 0 || n == -1 ? 0 : 14);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10-12: the test could not act as another user; 14: it was served";
    IZuVstEffect* effect = nullptr;
    TestPlugin plugin;
    effect = server.Create(plugin.path);
    ASSERT_NE(effect, nullptr);
    effect->Release();
}

// The command-line host as a host that goes away: its server ends once what it served is released.
TEST(Lifetime, ServerOfAHostThatWentAwayEnds)
{
    TestPlugin plugin;
    plugin->faultKind = ZT_FAULT_SLEEP;
    plugin->faultWhere = effGetEffectName;
    const std::string cli = std::string(ZUVST_BIN_DIR) + "/zuvst";
    const std::string file = PluginFile("zt_plugin");
    const pid_t host = fork();
    if (host == 0) {
        freopen("/dev/null", "w", stdout);
        execl(cli.c_str(), cli.c_str(), "probe", file.c_str(), nullptr);
        _exit(127);
    }
    while (!plugin->hanging.load()) usleep(1000);
    const uint32_t server = ChildOf(uint32_t(host), 1000);
    ASSERT_NE(server, 0u);
    kill(host, SIGKILL);
    waitpid(host, nullptr, 0);
    EXPECT_FALSE(ProcessGone(server, 200)) << "still inside the plug-in's call";
    plugin->faultKind = ZT_FAULT_NONE;
    plugin->hangRelease.store(1);
    EXPECT_TRUE(ProcessGone(server, 3000));
}

TEST(Lifetime, CommandLineHostSaysHowItsServerEnded)
{
    TestPlugin plugin;
    plugin->faultKind = ZT_FAULT_EXIT;
    plugin->faultWhere = effGetVendorString;
    const std::string command = std::string(ZUVST_BIN_DIR) + "/zuvst probe " + PluginFile("zt_plugin") + " 2>&1";
    FILE* output = popen(command.c_str(), "r");
    ASSERT_NE(output, nullptr);
    char line[512] = {};
    std::string all;
    while (fgets(line, sizeof(line), output)) all += line;
    const int status = pclose(output);
    plugin->faultKind = ZT_FAULT_NONE;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(all.find("status 0x80010108: the server (process "), std::string::npos) << all;
    EXPECT_NE(all.find("exited with code 3"), std::string::npos) << all;
}

// A server that does not signal within 5000 ms: the first call fails with its first status, the launcher
// keeps the server's identity, and a later call uses it once it is up, without starting another.
TEST(Launcher, ServerThatComesUpLateIsRemembered)
{
    FILE* output = popen(ZT_LATE_HOST " 2>&1", "r");
    ASSERT_NE(output, nullptr);
    char line[256];
    std::vector<std::string> lines;
    while (fgets(line, sizeof(line), output))
        if (std::strncmp(line, "attempt", 7) == 0) lines.push_back(line); // not the root window's notice
    pclose(output);
    ASSERT_EQ(lines.size(), 2u);
    unsigned status[2], pid[2], started[2];
    long ms[2];
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(std::sscanf(lines[i].c_str(), "attempt %*d status 0x%X pid %u started %u after %ld ms", &status[i],
                              &pid[i], &started[i], &ms[i]),
                  4)
            << lines[i];
    EXPECT_EQ(status[0], 0x80040154u); // the first attempt's status: no such class object
    EXPECT_EQ(pid[0], 0u);
    EXPECT_GE(ms[0], 4900);
    EXPECT_LT(ms[0], 6000);
    EXPECT_EQ(status[1], 0u);
    EXPECT_EQ(pid[1], started[0]) << "the remembered server";
    EXPECT_EQ(started[1], started[0]) << "no second server was started";
    EXPECT_LT(ms[1], 1000);
}

TEST(Launcher, CreateVstEffectGoesThroughAServerForForeignFiles)
{
    ZUVSTSERVEREND before {};
    GetLastServerEnd(&before);
    IZuVstEffect* effect = nullptr;
    // Not a library of this process's format: made in a server, which refuses it as the effect would.
    EXPECT_EQ(CreateVstEffect(u"/etc/hostname", 0, IID_IZuVstEffect, reinterpret_cast<void**>(&effect)),
              ZU_E_BAD_EXE_FORMAT);
    EXPECT_EQ(effect, nullptr);
    ZUVSTSERVEREND after {};
    GetLastServerEnd(&after);
    EXPECT_NE(after.pid, 0u);
    EXPECT_NE(after.pid, before.pid);
    // A library of our own format is made here, with no server.
    TestPlugin plugin;
    ASSERT_EQ(CreateVstEffect(plugin.path.c_str(), 0, IID_IZuVstEffect, reinterpret_cast<void**>(&effect)), S_OK);
    ZUVSTSERVEREND still {};
    GetLastServerEnd(&still);
    EXPECT_EQ(still.pid, after.pid);
    effect->Release();
}

TEST(Launcher, RegisterProxyStubChecksTheLibrarysExports)
{
    uint32_t cookie = 7;
    const std::u16string library = platform::Utf8ToWideString(ZUVST_LIB_DIR "/libzuvstps.so");
    EXPECT_EQ(RegisterProxyStub(library.c_str(), &cookie), S_OK);
    EXPECT_NE(cookie, 0u);
    for (const std::u16string& bad : {std::u16string(u"/no/such/library.so"), PluginPath("zt_plugin")}) {
        cookie = 7;
        EXPECT_EQ(RegisterProxyStub(bad.c_str(), &cookie), E_FAIL);
        EXPECT_EQ(cookie, 0u);
    }
}
