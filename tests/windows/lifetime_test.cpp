// The DLL's life in a host process: loaded and unloaded again and again,
// called from short-lived host threads, left open at process exit, and
// loaded into a process that already has the shared libgcc. Each must give
// back what it took: thread-local-storage slots, handles, memory and the
// Winsock start-up.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "components/net/socket.h"
#include "quel2cln.h"
#include "support/platform.h"
#include "support/test_server.h"
#include "tls/support/test_pki.h"
#include "tls/support/tls_front.h"

namespace {

namespace tp = test_platform;

struct usage {
    int free_tls_slots;
    DWORD handles;
    SIZE_T private_bytes;
};

// Free slots counted by taking them all and giving them back.
int free_tls_slots() {
    std::vector<DWORD> taken;
    for (DWORD slot; (slot = ::TlsAlloc()) != TLS_OUT_OF_INDEXES;) taken.push_back(slot);
    for (DWORD slot : taken) ::TlsFree(slot);
    return static_cast<int>(taken.size());
}

// Open handles, counted by asking about every handle value in use (the
// process counters are not available under Wine).
DWORD open_handles() {
    DWORD count = 0;
    for (std::uintptr_t value = 4; value < 0x10000; value += 4) {
        DWORD flags;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

// Committed private memory: the heaps and everything else allocated.
SIZE_T private_bytes() {
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char* at = nullptr; ::VirtualQuery(at, &region, sizeof region) == sizeof region;
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
        if (static_cast<const char*>(region.BaseAddress) + region.RegionSize < at) break;
    }
    return total;
}

usage measure() {
    return {free_tls_slots(), open_handles(), private_bytes()};
}

// References held on Winsock: every start-up is given back and then taken
// again. Only while no socket is open.
int winsock_references() {
    int count = 0;
    while (::WSACleanup() == 0) ++count;
    WSADATA data;
    for (int i = 0; i < count; ++i) ::WSAStartup(MAKEWORD(2, 2), &data);
    return count;
}

std::string backslashes(const char* path) {
    std::string out(path);
    for (char& c : out)
        if (c == '/') c = '\\';
    return out;
}

// Growth allowed per cycle or thread. The leaks this guards against were
// 19 KB per load, 171 KB per load after a TLS call and 4.5 KB per thread.
// What remains is the static winpthread's: each load allocates its few
// static mutexes afresh and never frees them (about 250 bytes).
constexpr SIZE_T bytes_per_run = 1024;
constexpr DWORD handle_noise = 16;

struct loaded {
    HMODULE module;
    qm2_Init_fn init;
    qm2_ExecSQL_fn exec;
    qm2_LastError_fn last_error;
};

class Lifetime : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        pki_dir_ = tp::make_temp_dir();
        pki_ = new qtest::TestPki(pki_dir_);
    }
    static void TearDownTestSuite() {
        delete pki_;
        pki_ = nullptr;
        tp::remove_tree(pki_dir_);
    }

    void SetUp() override {
        ASSERT_TRUE(pki_->ok()) << pki_->error();
        dir = tp::make_temp_dir();
        dll = tp::join_path(dir, "quel2cln.dll");
        ASSERT_TRUE(tp::copy_file(QUEL2CLN_LIBRARY_PATH, dll));
        ASSERT_TRUE(tp::copy_file(pki_->path("ca.pem"), tp::join_path(dir, "ca.pem")));
    }
    void TearDown() override { tp::remove_tree(dir); }

    void write_ini(int level) {
        ASSERT_TRUE(tp::write_file(tp::join_path(dir, "quel2cln.ini"),
                                   "[Connect]\nAttempts=1\nPause=0\n[Security]\nLevel=" +
                                       std::to_string(level) + "\nCAFile=ca.pem\n"));
    }

    loaded load() {
        loaded lib{::LoadLibraryA(dll.c_str()), nullptr, nullptr, nullptr};
        if (lib.module) {
            lib.init = reinterpret_cast<qm2_Init_fn>(
                reinterpret_cast<void*>(::GetProcAddress(lib.module, "qm2_Init")));
            lib.exec = reinterpret_cast<qm2_ExecSQL_fn>(
                reinterpret_cast<void*>(::GetProcAddress(lib.module, "qm2_ExecSQL")));
            lib.last_error = reinterpret_cast<qm2_LastError_fn>(
                reinterpret_cast<void*>(::GetProcAddress(lib.module, "qm2_LastError")));
        }
        return lib;
    }

    // Load, Init, one call that leaves its connection open, unload (with
    // qm2_Done before it when `done`). False, with the reason recorded, on
    // the first cycle that fails.
    bool cycles(int count, int port, bool done = false) {
        for (int i = 0; i < count; ++i) {
            loaded lib = load();
            if (!lib.module) {
                ADD_FAILURE() << "LoadLibrary failed at cycle " << i << ": " << ::GetLastError();
                return false;
            }
            bool called = lib.init("127.0.0.1", port) && lib.exec("select 1", "", "");
            char text[256] = "";
            if (!called) lib.last_error(text, sizeof text - 1);
            if (done) reinterpret_cast<qm2_Done_fn>(
                          reinterpret_cast<void*>(::GetProcAddress(lib.module, "qm2_Done")))();
            ::FreeLibrary(lib.module);
            if (!called) {
                ADD_FAILURE() << "call failed at cycle " << i << ": " << text;
                return false;
            }
        }
        return true;
    }

    void expect_flat(const usage& before, const usage& after, int runs, const char* what) {
        std::printf("%s: free TLS slots %d -> %d, handles %lu -> %lu, private bytes %lu -> %lu\n",
                    what, before.free_tls_slots, after.free_tls_slots,
                    static_cast<unsigned long>(before.handles),
                    static_cast<unsigned long>(after.handles),
                    static_cast<unsigned long>(before.private_bytes),
                    static_cast<unsigned long>(after.private_bytes));
        EXPECT_GE(after.free_tls_slots, before.free_tls_slots) << what;
        EXPECT_LE(after.handles, before.handles + handle_noise) << what;
        EXPECT_LE(after.private_bytes, before.private_bytes + runs * bytes_per_run) << what;
    }

    static std::string pki_dir_;
    static qtest::TestPki* pki_;
    int port_unused = 0;
    std::string dir;
    std::string dll;
};

std::string Lifetime::pki_dir_;
qtest::TestPki* Lifetime::pki_ = nullptr;

// Past the point where slots ran out before (about 1,085 plain or 155 TLS
// cycles), and with nothing else growing. The Winsock start-up is given
// back by qm2_Done only (never under the loader lock): an unload without it
// leaves one reference behind.
TEST_F(Lifetime, LoadUnloadCyclesGiveEverythingBack) {
    // The test's own Winsock start-ups, taken before counting.
    orbl::socket_initialize_error_sys_code();
    tp::close_socket(tp::listen_loopback(port_unused));
    int references = winsock_references();
    {
        qtest::TestServer server;
        qtest::TlsFront front(server.port(), pki_->server);
        ASSERT_TRUE(front.ok());

        write_ini(0);
        ASSERT_TRUE(cycles(20, server.port()));  // the runtime's one-time allocations
        usage before = measure();
        ASSERT_TRUE(cycles(2000, server.port()));
        expect_flat(before, measure(), 2000, "plain cycles");

        write_ini(1);
        ASSERT_TRUE(cycles(20, front.port()));
        before = measure();
        ASSERT_TRUE(cycles(500, front.port()));
        expect_flat(before, measure(), 500, "TLS cycles");

        ASSERT_TRUE(cycles(50, front.port(), true));
        write_ini(0);
        ASSERT_TRUE(cycles(50, server.port(), true));
    }
    // Counted with no socket open: one reference for each of the 2,540
    // unloads without qm2_Done, none for the 100 with it.
    EXPECT_EQ(winsock_references(), references + 2540);
}

DWORD WINAPI call_once(void* lib) {
    auto* library = static_cast<loaded*>(lib);
    return library->exec("select 1", "", "") ? 0 : 1;
}

TEST_F(Lifetime, HostThreadsThatMadeTlsCallsLeaveNothingBehind) {
    qtest::TestServer server;
    qtest::TlsFront front(server.port(), pki_->server);
    ASSERT_TRUE(front.ok());
    write_ini(1);
    loaded lib = load();
    ASSERT_NE(lib.module, nullptr);
    ASSERT_TRUE(lib.init("127.0.0.1", front.port()));
    ASSERT_TRUE(lib.exec("select 1", "", ""));

    auto run_threads = [&](int count) {
        for (int i = 0; i < count; ++i) {
            HANDLE thread = ::CreateThread(nullptr, 0, call_once, &lib, 0, nullptr);
            ASSERT_NE(thread, nullptr);
            ASSERT_EQ(::WaitForSingleObject(thread, 60000), WAIT_OBJECT_0);
            DWORD status = 1;
            ::GetExitCodeThread(thread, &status);
            ::CloseHandle(thread);
            ASSERT_EQ(status, 0u) << "call failed on thread " << i;
        }
    };
    run_threads(20);
    usage before = measure();
    run_threads(1000);
    expect_flat(before, measure(), 1000, "host threads");
    ::FreeLibrary(lib.module);
}

// Runs host.exe (or the copy at `host`) in one of its life-cycle modes; its
// exit status, or -1.
int run_host(const std::string& arguments, DWORD timeout_ms = 60000,
             const std::string& host = QUEL2CLN_HOST_PATH) {
    std::string command = "\"" + backslashes(host.c_str()) + "\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process))
        return -1;
    DWORD status = static_cast<DWORD>(-1);
    if (::WaitForSingleObject(process.hProcess, timeout_ms) == WAIT_OBJECT_0)
        ::GetExitCodeProcess(process.hProcess, &status);
    else
        ::TerminateProcess(process.hProcess, 99);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return static_cast<int>(status);
}

// At process exit the DLL does nothing: no close_notify, no socket call;
// the system closes the connection.
TEST_F(Lifetime, ProcessExitWithAnOpenTlsConnectionDoesNothing) {
    qtest::TestServer server;
    qtest::TlsFront front(server.port(), pki_->server);
    ASSERT_TRUE(front.ok());
    write_ini(1);
    EXPECT_EQ(run_host("\"" + dll + "\" " + std::to_string(front.port()) + " exit"), 7);
    ASSERT_TRUE(server.wait_for_closed_by_client(1, std::chrono::seconds(30)));
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(front.close_notifies(), 0);
}

// A process that has the shared libgcc_s_dw2-1.dll (any MinGW-built host or
// plug-in brings it in) before the DLL loads: the DLL's own throws must
// still be caught inside it.
TEST_F(Lifetime, HostWithTheSharedLibgccKeepsTheLibraryWorking) {
    std::string libgcc = tp::join_path(dir, "libgcc_s_dw2-1.dll");
    ASSERT_TRUE(tp::copy_file(QUEL2CLN_SHARED_LIBGCC, libgcc));
    ASSERT_TRUE(
        tp::copy_file(QUEL2CLN_SHARED_WINPTHREAD, tp::join_path(dir, "libwinpthread-1.dll")));
    int port = 0;
    tp::sock refusing = tp::reserve_refusing_port(port);
    ASSERT_NE(refusing, tp::no_sock);
    write_ini(0);
    std::string arguments = "\"" + dll + "\" " + std::to_string(port) + " libgcc \"" + libgcc + "\"";
    EXPECT_EQ(run_host(arguments), 0);
    tp::close_socket(refusing);
}

// A host that never uses Winsock itself: WS2_32 must stay usable across
// its loads and unloads of the library (Wine cannot load it twice into one
// process).
TEST_F(Lifetime, HostWithoutWinsockOfItsOwnReloadsTheLibrary) {
    qtest::TestServer server;
    qtest::TlsFront front(server.port(), pki_->server);
    ASSERT_TRUE(front.ok());
    const std::string library = "\"" + dll + "\" ";
    write_ini(0);
    EXPECT_EQ(run_host(library + std::to_string(server.port()) + " cycles 2000", 600000), 0);
    write_ini(1);
    EXPECT_EQ(run_host(library + std::to_string(front.port()) + " cycles 500", 600000), 0);
}

// System DLLs that are not KnownDLLs, planted beside the host (any DLL
// will do: the host reports every load of those names, from anywhere). A
// TLS connection must load none of them, OpenSSL's random seed included.
TEST_F(Lifetime, PlantedSystemDllsAreNotLoaded) {
    qtest::TestServer server;
    qtest::TlsFront front(server.port(), pki_->server);
    ASSERT_TRUE(front.ok());
    write_ini(1);
    std::string host = tp::join_path(dir, "host.exe");
    ASSERT_TRUE(tp::copy_file(QUEL2CLN_HOST_PATH, host));
    for (const char* name : {"crypt32.dll", "rsaenh.dll", "bcrypt.dll"})
        ASSERT_TRUE(tp::copy_file(QUEL2CLN_SHARED_LIBGCC, tp::join_path(dir, name)));
    EXPECT_EQ(run_host("\"" + dll + "\" " + std::to_string(front.port()) + " cycles 3", 60000, host),
              0);
}

}  // namespace
