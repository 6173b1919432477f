// The Windows DLL against a raw Winsock client sending the same bytes, both
// talking to the Linux benchmark's server (quel2cln_bench --serve) over
// loopback. Run under Wine by scripts/bench.sh --wine: a check that nothing
// is pathologically slow there, not a measure of Windows.
//
//   quel2cln_wine_bench.exe DLL PORT [--quick]
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "quel2cln.h"

namespace {

std::string u32(unsigned v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}
std::string str(const std::string& t) { return u32(static_cast<unsigned>(t.size())) + t; }
std::string exec_frame(const std::string& text) {
    std::string f = "QUELMAR21001" + std::string(8, '\0');
    f += '\3';
    f += std::string(3, '\0') + u32(static_cast<unsigned>(12 + text.size())) + std::string(4, '\0');
    f.reserve(f.size() + 12 + text.size());
    f += str(text);
    f += u32(0) + u32(0);
    return f;
}

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "wine bench: %s failed\n", what);
        std::exit(1);
    }
}

struct raw_client {
    SOCKET s;
    std::vector<char> buf = std::vector<char>(65536);
    explicit raw_client(int port) {
        s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<u_short>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        check(::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0, "raw connect");
        BOOL one = TRUE;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    }
    ~raw_client() { ::closesocket(s); }
    void call(const std::string& req) {
        for (std::size_t off = 0; off < req.size();) {
            int n = ::send(s, req.data() + off, static_cast<int>(std::min<std::size_t>(req.size() - off, 1 << 30)), 0);
            check(n > 0, "raw send");
            off += static_cast<std::size_t>(n);
        }
        std::size_t have = 0, whole = 32;
        while (have < whole) {
            if (buf.size() < whole) buf.resize(whole);
            int n = ::recv(s, buf.data() + have, static_cast<int>(buf.size() - have), 0);
            check(n > 0, "raw receive");
            have += static_cast<std::size_t>(n);
            if (have >= 32) {
                unsigned size = 0;
                for (int i = 3; i >= 0; --i) size = (size << 8) | static_cast<unsigned char>(buf[24 + i]);
                whole = 32 + size;
            }
        }
    }
};

double now_s() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / f.QuadPart;
}

double cpu_s() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto t = [](FILETIME x) { return (static_cast<unsigned long long>(x.dwHighDateTime) << 32 | x.dwLowDateTime) / 1e7; };
    return t(kernel) + t(user);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Rounds of `n` calls, library and raw client taking turns: medians of the
// seconds and CPU seconds per call.
void rounds(const char* name, int count, int n, const std::function<void()>& lib,
            const std::function<void()>& raw, double bytes) {
    std::vector<double> tl, tr, cl, cr;
    lib();
    raw();
    for (int r = 0; r < count; ++r) {
        for (int turn = 0; turn < 2; ++turn) {
            bool library_turn = (turn == 0) == (r % 2 == 0);
            double t0 = now_s(), c0 = cpu_s();
            for (int i = 0; i < n; ++i) (library_turn ? lib : raw)();
            (library_turn ? tl : tr).push_back((now_s() - t0) / n);
            (library_turn ? cl : cr).push_back((cpu_s() - c0) / n);
        }
    }
    double l = median(tl), w = median(tr);
    if (bytes > 0)
        std::printf("| %s | %.2fx (%.0f / %.0f MB/s) | %.2fx |\n", name, w / l, bytes / l / 1e6,
                    bytes / w / 1e6, median(cl) / std::max(median(cr), 1e-9));
    else
        std::printf("| %s | %.2fx (%.0f / %.0f per s) | %.2fx (%.1f / %.1f us) |\n", name, w / l, 1 / l,
                    1 / w, median(cl) / std::max(median(cr), 1e-9), median(cl) * 1e6, median(cr) * 1e6);
}

}  // namespace

int main(int argc, char** argv) {
    check(argc >= 3, "arguments: DLL PORT [--quick]");
    bool quick = argc > 3 && std::string(argv[3]) == "--quick";
    int port = std::atoi(argv[2]);
    WSADATA data;
    check(WSAStartup(MAKEWORD(2, 2), &data) == 0, "WSAStartup");
    HMODULE dll = LoadLibraryA(argv[1]);
    check(dll != nullptr, "LoadLibrary");
    auto init = reinterpret_cast<qm2_Init_fn>(reinterpret_cast<void*>(GetProcAddress(dll, "qm2_Init")));
    auto exec =
        reinterpret_cast<qm2_ExecSQL_fn>(reinterpret_cast<void*>(GetProcAddress(dll, "qm2_ExecSQL")));
    check(init && exec && init("127.0.0.1", port), "qm2_Init");

    const std::string sql = "select * from t1";
    raw_client raw(port);
    std::printf("| case (Wine) | library / raw: rate | CPU per call: library / raw |\n|---|---|---|\n");
    std::string small = exec_frame(sql);
    rounds("small ExecSQL", quick ? 1 : 9, quick ? 100 : 1000,
           [&] { check(exec(sql.c_str(), "", ""), "ExecSQL"); }, [&] { raw.call(small); }, 0);
    std::string text(62914560 - 12, 'q');
    rounds("ExecSQL 60 MiB request", quick ? 1 : 5, 1,
           [&] { check(exec(text.c_str(), "", ""), "large ExecSQL"); },
           [&] { raw.call(exec_frame(text)); }, static_cast<double>(text.size() + 12));
    return 0;
}
