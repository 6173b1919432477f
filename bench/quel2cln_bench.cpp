// The library against a raw client sending the same bytes to the same
// loopback server, in one run. Prints one table of ratios (library / raw):
// round-trip rate and CPU time per call for small calls, throughput and peak
// memory for large messages, system calls per small call.
//
//   quel2cln_bench [--quick] [--only TEXT] [--library PATH] [--cpu N | --no-pin]
//   quel2cln_bench --serve       (the server alone; prints its port)
//
// The server and both clients run on one CPU (the last, or --cpu N): a
// loopback round trip between processes on different cores depends on how
// deeply the idle core sleeps between messages, which swamps what the
// clients themselves cost; on one core the two ends hand over directly.
// Small cases run in rounds, library and raw client taking turns; a ratio is
// the median of the rounds' ratios, the rates and times beside it medians. Large cases run each measurement in a child process of its own,
// whose peak RSS comes from wait4(). Nothing here asserts a speed.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/loaded_library.h"
#include "support/platform.h"
#include "tls/support/test_pki.h"

namespace {

namespace tp = test_platform;

bool quick = false;
std::string only;  // run only the cases whose name holds this text
bool skipped(const std::string& name) { return !only.empty() && name.find(only) == std::string::npos; }
std::string library_path = QUEL2CLN_LIBRARY_PATH;
constexpr std::size_t big = 62914560;  // the largest payload a message carries

// ---- the bytes on the wire, written by hand ----

std::string u32(std::uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}
std::string str(const std::string& text) { return u32(static_cast<std::uint32_t>(text.size())) + text; }
std::string frame(int type, const std::string& payload) {
    std::string h = "QUELMAR21001" + std::string(8, '\0');
    h += static_cast<char>(type);
    h += std::string(3, '\0') + u32(static_cast<std::uint32_t>(payload.size())) + std::string(4, '\0');
    return h + payload;
}
std::uint32_t get_u32(const char* at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(at[i]);
    return v;
}

// ---- a stream over a blocking socket, plain or TLS (server and raw client) ----

struct stream {
    int fd = -1;
    SSL* ssl = nullptr;
    ~stream() {
        if (ssl) {
            SSL_shutdown(ssl);
            SSL_free(ssl);
        }
        if (fd >= 0) ::close(fd);
    }
    long recv_some(char* b, std::size_t n) {
        if (ssl) {
            std::size_t got = 0;
            return SSL_read_ex(ssl, b, n, &got) == 1 ? static_cast<long>(got) : -1;
        }
        return ::recv(fd, b, n, 0);
    }
    bool send_all(const char* d, std::size_t n) {
        while (n > 0) {
            long sent;
            if (ssl) {
                std::size_t s = 0;
                sent = SSL_write_ex(ssl, d, n, &s) == 1 ? static_cast<long>(s) : -1;
            } else {
                sent = ::send(fd, d, n, MSG_NOSIGNAL);
            }
            if (sent <= 0) return false;
            d += sent;
            n -= static_cast<std::size_t>(sent);
        }
        return true;
    }
    // Reads one whole message into `buf` (grown when needed); its type, or
    // -1 when the stream ended. Reads as much as arrives, like a careful
    // raw client would.
    int read_message(std::vector<char>& buf) {
        std::size_t have = 0, whole = 32;
        while (have < whole) {
            if (buf.size() < whole) buf.resize(whole);
            long got = recv_some(buf.data() + have, buf.size() - have);
            if (got <= 0) return -1;
            have += static_cast<std::size_t>(got);
            if (have >= 32) whole = 32 + get_u32(buf.data() + 24);
        }
        return buf[20];
    }
};

int tcp_connect(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// ---- the server (a child process): plain and TLS listeners ----

// An ExecSQL frame around the host's text, built in one buffer.
std::string exec_frame(const std::string& text) {
    std::string request = frame(3, "");
    request.reserve(32 + 12 + text.size());
    request.replace(24, 4, u32(static_cast<std::uint32_t>(12 + text.size())));
    request += u32(static_cast<std::uint32_t>(text.size()));
    request += text;
    request += u32(0) + u32(0);
    return request;
}

const std::string& reply_for(const std::string& request) {
    static const std::string big_reply =
        frame(1, std::string(1, '\0') + u32(0) + std::string(big - 5, 'r'));  // flag, value, padding
    static const std::string big_error = frame(2, str(std::string(big - 4, 'e')));
    static const std::string replies[] = {
        frame(1, ""),                                 // ExecSQL, SaveResult
        frame(1, std::string(1, '\0') + u32(7)),      // GetAutoInc: a value
        frame(1, u32(9)),                             // CalcAutoInc
        frame(1, std::string(1, '\1')),               // Lock: granted
    };
    std::string text1 = request.size() >= 36 ? request.substr(36, get_u32(request.data() + 32)) : "";
    if (text1 == "big-reply") return big_reply;
    if (text1 == "big-error") return big_error;
    switch (request[20]) {
    case 4: return replies[1];
    case 5: return replies[2];
    case 7: return replies[3];
    default: return replies[0];
    }
}

void serve(std::unique_ptr<stream> s) {
    std::vector<char> buf;
    for (;;) {
        if (s->read_message(buf) < 0) return;
        std::size_t whole = 32 + get_u32(buf.data() + 24);
        // Only the head decides the answer: no copy of a large request.
        std::string head(buf.data(), std::min<std::size_t>(whole, 64));
        const std::string& answer = reply_for(head);
        if (!s->send_all(answer.data(), answer.size())) return;
        if (buf.size() > 65536) std::vector<char>().swap(buf);
    }
}

// Accepts on `listener` until killed and serves each connection on a
// thread of its own; over TLS when `ctx` is given.
void accept_loop(int listener, SSL_CTX* ctx) {
    for (;;) {
        int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::thread([=] {
            auto s = std::make_unique<stream>();
            s->fd = fd;
            if (ctx) {
                s->ssl = SSL_new(ctx);
                SSL_set_fd(s->ssl, fd);
                if (SSL_accept(s->ssl) != 1) return;
            }
            serve(std::move(s));
        }).detach();
    }
}

// Serves until killed; no TLS listener when `tls_listener` is -1.
void run_server(int plain_listener, int tls_listener, SSL_CTX* ctx) {
    if (tls_listener >= 0) std::thread([=] { accept_loop(tls_listener, ctx); }).detach();
    accept_loop(plain_listener, nullptr);
}

// ---- the cases ----

struct ports {
    int plain = 0, tls = 0;
};

std::string ini_for(int level, const std::string& ca) {
    return "[Connect]\nAttempts=1\nPause=0\n[Advanced]\nSocketTimeout=5000\nTailTimeout=10000\n"
           "[Security]\nLevel=" + std::to_string(level) + "\nCAFile=" + ca + "\n";
}

struct small_op {
    const char* name;
    std::function<bool(qtest::LoadedLibrary&)> call;
    std::string request;
};

std::vector<small_op> small_ops() {
    const std::string sql = "select * from t1";  // 16 bytes
    return {
        {"ExecSQL", [=](qtest::LoadedLibrary& l) { return l.ExecSQL(sql.c_str(), "", ""); },
         frame(3, str(sql) + str("") + str(""))},
        {"GetAutoInc",
         [](qtest::LoadedLibrary& l) {
             bool none = true;
             unsigned int v = 0;
             return l.GetAutoInc("orders", "id", "", &none, &v) && v == 7;
         },
         frame(4, str("orders") + str("id") + str(""))},
        {"CalcAutoInc",
         [](qtest::LoadedLibrary& l) {
             unsigned int v = 0;
             return l.CalcAutoInc("orders", "id", "", "a:b, c:d", &v) && v == 9;
         },
         frame(5, str("orders") + str("id") + str("") + u32(2) + str("a") + str("b") + str("c") + str("d"))},
        {"SaveResult",
         [](qtest::LoadedLibrary& l) { return l.SaveResult("job", "1", "ok", "", "done"); },
         frame(6, str("job") + str("1") + str("ok") + str("") + str("done"))},
        {"Lock",
         [](qtest::LoadedLibrary& l) {
             bool granted = false;
             return l.Lock("orders", "42", 1, "me", 30, &granted, nullptr, 0) && granted;
         },
         frame(7, str("orders") + str("42") + u32(1) + str("me") + u32(30))},
    };
}

struct sample {
    double seconds, cpu;
};

double cpu_now() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

sample timed(int n, const std::function<void()>& once) {
    double c0 = cpu_now();
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) once();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return {s, cpu_now() - c0};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

pid_t server_pid = 0;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "bench: %s failed\n", what);
        if (server_pid > 0) ::kill(server_pid, SIGKILL);
        std::exit(1);
    }
}

struct row {
    std::string name;
    std::string ratio, cpu, syscalls, rss;
};
std::vector<row> table;

// Rounds of `n` calls each, library and raw client taking turns.
void pair_rounds(const std::string& name, int rounds, int n, const std::function<void()>& lib,
                 const std::function<void()>& raw, double bytes_per_call = 0) {
    if (skipped(name)) return;
    std::fprintf(stderr, "bench: %s\n", name.c_str());
    std::vector<double> rate_l, rate_r, cpu_l, cpu_r, rate_ratio, cpu_ratio;
    timed(n, lib);
    timed(n, raw);  // one round each to warm up, not counted
    for (int r = 0; r < rounds; ++r) {
        for (int turn = 0; turn < 2; ++turn) {
            bool library_turn = (turn == 0) == (r % 2 == 0);
            sample s = timed(n, library_turn ? lib : raw);
            (library_turn ? rate_l : rate_r).push_back(n / s.seconds);
            (library_turn ? cpu_l : cpu_r).push_back(s.cpu / n);
        }
        // The two turns of a round ran back to back, so their ratio does not
        // move with the machine's speed from one round to the next.
        rate_ratio.push_back(rate_l.back() / rate_r.back());
        cpu_ratio.push_back(cpu_l.back() / cpu_r.back());
    }
    char ratio[96], cpu[96];
    double rl = median(rate_l), rr = median(rate_r);
    if (bytes_per_call > 0)
        std::snprintf(ratio, sizeof ratio, "%.2fx (%.0f / %.0f MB/s)", median(rate_ratio),
                      rl * bytes_per_call / 1e6, rr * bytes_per_call / 1e6);
    else
        std::snprintf(ratio, sizeof ratio, "%.2fx (%.0f / %.0f per s)", median(rate_ratio), rl, rr);
    std::snprintf(cpu, sizeof cpu, "%.2fx (%.1f / %.1f us)", median(cpu_ratio), median(cpu_l) * 1e6,
                  median(cpu_r) * 1e6);
    table.push_back({name, ratio, cpu, "", ""});
}

// ---- large cases: one child process per measurement ----

// What a child measured of its large call: time and minor page faults.
struct timed_run {
    double seconds = 0;
    double faults = 0;
};

struct child_result {
    timed_run run;
    long max_rss_kb = 0;
};

long minor_faults() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

child_result in_child(const std::function<timed_run()>& work) {
    int fds[2];
    check(::pipe(fds) == 0, "pipe");
    pid_t pid = ::fork();
    if (pid == 0) {
        server_pid = 0;
        ::close(fds[0]);
        timed_run s = work();
        check(::write(fds[1], &s, sizeof s) == static_cast<ssize_t>(sizeof s), "pipe write");
        ::_exit(0);
    }
    ::close(fds[1]);
    child_result r;
    check(::read(fds[0], &r.run, sizeof r.run) == static_cast<ssize_t>(sizeof r.run), "child run");
    ::close(fds[0]);
    int status = 0;
    rusage u{};
    ::wait4(pid, &status, 0, &u);
    check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "child exit");
    r.max_rss_kb = u.ru_maxrss;
    return r;
}

timed_run run_of(const std::function<void()>& f) {
    long faults = minor_faults();
    auto t0 = std::chrono::steady_clock::now();
    f();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return {s, static_cast<double>(minor_faults() - faults)};
}

// A child that loads the library, connects and makes one small call, then
// runs `big_call` with a host text of `text_size` bytes.
std::function<timed_run()> library_child(int port, std::size_t text_size,
                                      std::function<void(qtest::LoadedLibrary&, const std::string&)> big_call) {
    return [=] {
        qtest::LoadedLibrary lib(library_path, ini_for(0, "").c_str());
        check(lib.ok() && lib.Init("127.0.0.1", port) && lib.ExecSQL("x", "", ""), "library child");
        std::string text(text_size, 'q');
        return run_of([&] { big_call(lib, text); });
    };
}

std::function<timed_run()> raw_child(int port, std::string request_head, std::size_t text_size) {
    return [=] {
        stream s;
        s.fd = tcp_connect(port);
        std::vector<char> buf(65536);
        std::string warm = frame(3, str("x") + str("") + str(""));
        check(s.send_all(warm.data(), warm.size()) && s.read_message(buf) == 1, "raw child");
        std::string text(text_size, 'q');
        return run_of([&] {
            // The host's text, then the frame built around it, as any client must.
            std::string request = text_size ? exec_frame(text) : request_head;
            check(s.send_all(request.data(), request.size()) && s.read_message(buf) > 0, "raw call");
        });
    };
}

void large_case(const std::string& name, int rounds, std::size_t payload,
                const std::function<timed_run()>& lib, const std::function<timed_run()>& raw, long base_kb) {
    if (skipped(name)) return;
    std::fprintf(stderr, "bench: %s\n", name.c_str());
    std::vector<double> tl, tr, rss_l, rss_r, faults_l, faults_r;
    for (int r = 0; r < rounds; ++r) {
        for (int turn = 0; turn < 2; ++turn) {
            bool library_turn = (turn == 0) == (r % 2 == 0);
            child_result c = in_child(library_turn ? lib : raw);
            (library_turn ? tl : tr).push_back(c.run.seconds);
            (library_turn ? faults_l : faults_r).push_back(c.run.faults * 4096.0 / payload);
            (library_turn ? rss_l : rss_r).push_back((c.max_rss_kb - base_kb) * 1024.0 / payload);
        }
    }
    char ratio[96], rss[96];
    std::snprintf(ratio, sizeof ratio, "%.2fx (%.0f / %.0f MB/s)", median(tr) / median(tl),
                  payload / median(tl) / 1e6, payload / median(tr) / 1e6);
    std::snprintf(rss, sizeof rss, "%.2fx (raw %.2fx); page faults per 4 KiB of payload %.2f (raw %.2f)",
                  median(rss_l), median(rss_r), median(faults_l), median(faults_r));
    table.push_back({name, ratio, "", "", rss});
}

// What the page faults of a fresh buffer of `size` bytes cost: writing it
// once just after it was allocated (every page faults in, zeroed by the
// kernel), against writing a buffer whose pages are already there. Each
// large call of either client builds its message in a fresh buffer, since
// nothing large is kept between calls.
void fresh_buffer_case(const std::string& name, int rounds, std::size_t size) {
    if (skipped(name)) return;
    std::vector<double> fresh, warm, faults;
    std::unique_ptr<char[]> kept(new char[size]);
    std::memset(kept.get(), 1, size);
    for (int r = 0; r < rounds; ++r) {
        timed_run f = run_of([&] {
            std::unique_ptr<char[]> buffer(new char[size]);
            std::memset(buffer.get(), r, size);
            asm volatile("" : : "r"(buffer.get()) : "memory");
        });
        fresh.push_back(f.seconds);
        faults.push_back(f.faults);
        warm.push_back(run_of([&] {
                           std::memset(kept.get(), r, size);
                           asm volatile("" : : "r"(kept.get()) : "memory");
                       }).seconds);
    }
    char text[160];
    std::snprintf(text, sizeof text, "first write %.1f ms (%.0f page faults), rewrite %.1f ms",
                  median(fresh) * 1e3, median(faults), median(warm) * 1e3);
    table.push_back({name, text, "", "", ""});
}

// ---- system calls per small call, counted with strace -c ----

int syscalls_mode(const std::string& who, int port, int n) {
    auto ops = small_ops();
    if (who == "lib") {
        qtest::LoadedLibrary lib(library_path, ini_for(0, "").c_str());
        check(lib.ok() && lib.Init("127.0.0.1", port), "syscall child");
        for (int i = 0; i < n; ++i) check(ops[0].call(lib), "syscall call");
    } else {
        stream s;
        s.fd = tcp_connect(port);
        std::vector<char> buf(65536);
        for (int i = 0; i < n; ++i)
            check(s.send_all(ops[0].request.data(), ops[0].request.size()) && s.read_message(buf) == 1,
                  "syscall raw call");
    }
    return 0;
}

// Total system calls of a traced run; -1 when strace is missing or refused.
long traced_calls(const char* who, int port, int n) {
    std::string out = tp::make_temp_dir() + "/strace.txt";
    std::string cmd = "strace -f -c -o " + out + " /proc/" + std::to_string(::getpid()) +
                      "/exe --syscalls " + who + " " + std::to_string(port) + " " + std::to_string(n) +
                      " --library " + library_path + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return -1;
    FILE* f = std::fopen(out.c_str(), "r");
    if (!f) return -1;
    char line[256];
    long total = -1;
    while (std::fgets(line, sizeof line, f)) {
        if (!std::strstr(line, " total")) continue;
        double pct, secs;
        long usecs, calls;
        if (std::sscanf(line, "%lf %lf %ld %ld", &pct, &secs, &usecs, &calls) == 4) total = calls;
    }
    std::fclose(f);
    return total;
}

std::string syscalls_per_call(int port) {
    long per[2];
    const char* who[] = {"lib", "raw"};
    for (int i = 0; i < 2; ++i) {
        long few = traced_calls(who[i], port, 100), many = traced_calls(who[i], port, 300);
        if (few < 0 || many < 0) return "n/a (no strace)";
        per[i] = (many - few + 100) / 200;
    }
    return std::to_string(per[0]) + " / " + std::to_string(per[1]);
}

// ---- TLS ----

SSL_CTX* client_ctx(const std::string& ca) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    check(SSL_CTX_load_verify_locations(ctx, ca.c_str(), nullptr) == 1, "raw CA file");
    return ctx;
}

void tls_connect(stream& s, SSL_CTX* ctx, int port) {
    s.fd = tcp_connect(port);
    s.ssl = SSL_new(ctx);
    SSL_set_fd(s.ssl, s.fd);
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s.ssl), "127.0.0.1");
    check(SSL_connect(s.ssl) == 1, "raw TLS handshake");
}

}  // namespace

int main(int argc, char** argv) {
    std::string syscalls_who;
    bool serve_only = false;
    int syscalls_port = 0, syscalls_n = 0;
    int cpu = static_cast<int>(std::thread::hardware_concurrency()) - 1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--quick") quick = true;
        else if (a == "--serve") serve_only = true;
        else if (a == "--library" && i + 1 < argc) library_path = argv[++i];
        else if (a == "--only" && i + 1 < argc) only = argv[++i];
        else if (a == "--cpu" && i + 1 < argc) cpu = std::atoi(argv[++i]);
        else if (a == "--no-pin") cpu = -1;
        else if (a == "--syscalls" && i + 3 < argc) {
            syscalls_who = argv[++i];
            syscalls_port = std::atoi(argv[++i]);
            syscalls_n = std::atoi(argv[++i]);
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
    if (!syscalls_who.empty()) return syscalls_mode(syscalls_who, syscalls_port, syscalls_n);
    if (serve_only) {
        // The server alone, for a client elsewhere (the DLL under Wine).
        int port = 0;
        tp::sock listener = tp::listen_loopback(port);
        check(listener != tp::no_sock, "listen");
        std::printf("%d\n", port);
        std::fflush(stdout);
        run_server(static_cast<int>(listener), -1, nullptr);
    }

    if (cpu >= 0) {
        // Inherited by the server process, its threads and every child.
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        check(::sched_setaffinity(0, sizeof one, &one) == 0, "pinning to one CPU");
    }
    std::string dir = tp::make_temp_dir();
    qtest::TestPki pki(dir);
    check(pki.ok(), "certificates");
    SSL_CTX* server_ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(server_ctx, pki.server.cert.get());
    SSL_CTX_use_PrivateKey(server_ctx, pki.server.key.get());

    ports p;
    tp::sock plain = tp::listen_loopback(p.plain), tls = tp::listen_loopback(p.tls);
    check(plain != tp::no_sock && tls != tp::no_sock, "listen");
    pid_t server = ::fork();
    if (server == 0) {
        server_pid = 0;
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the benchmark
        run_server(static_cast<int>(plain), static_cast<int>(tls), server_ctx);
        ::_exit(0);
    }
    server_pid = server;
    tp::close_socket(plain);
    tp::close_socket(tls);

    const int rounds = quick ? 1 : 21;
    const int large_rounds = quick ? 1 : 9;
    const int small_n = quick ? 100 : 5000;

    // Large messages first, while this process is still small (children
    // start from its memory). The base is a child that makes small calls only.
    long base_kb = in_child(library_child(p.plain, 0, [](qtest::LoadedLibrary&, const std::string&) {}))
                       .max_rss_kb;
    auto exec_big = [](qtest::LoadedLibrary& l, const std::string& t) {
        check(l.ExecSQL(t.c_str(), "", ""), "large ExecSQL");
    };
    fresh_buffer_case("fresh 60 MiB buffer", large_rounds, big);
    large_case("ExecSQL 60 MiB request", large_rounds, big - 12, library_child(p.plain, big - 12, exec_big),
               raw_child(p.plain, "", big - 12), base_kb);
    std::string reply_req = frame(4, str("big-reply") + str("") + str(""));
    large_case("60 MiB Reply (GetAutoInc)", large_rounds, big,
               library_child(p.plain, 0,
                             [](qtest::LoadedLibrary& l, const std::string&) {
                                 bool none = true;
                                 unsigned int v = 1;
                                 check(l.GetAutoInc("big-reply", "", "", &none, &v) && v == 0, "big reply");
                             }),
               raw_child(p.plain, reply_req, 0), base_kb);
    std::string error_req = frame(3, str("big-error") + str("") + str(""));
    large_case("60 MiB ErrorReply", large_rounds, big,
               library_child(p.plain, 0,
                             [](qtest::LoadedLibrary& l, const std::string&) {
                                 check(!l.ExecSQL("big-error", "", ""), "big error");
                             }),
               raw_child(p.plain, error_req, 0), base_kb);

    // Small and mid-sized calls in this process.
    qtest::LoadedLibrary lib(library_path, ini_for(0, "").c_str());
    check(lib.ok() && lib.Init("127.0.0.1", p.plain), "library");
    stream raw;
    raw.fd = tcp_connect(p.plain);
    std::vector<char> buf(65536);
    auto raw_call = [&](const std::string& req) {
        check(raw.send_all(req.data(), req.size()) && raw.read_message(buf) == 1, "raw call");
    };
    for (const small_op& op : small_ops()) {
        pair_rounds(std::string("small ") + op.name, rounds, small_n, [&] { check(op.call(lib), op.name); },
                    [&] { raw_call(op.request); });
    }
    for (row& r : table)
        if (r.name == "small ExecSQL") r.syscalls = syscalls_per_call(p.plain);
    for (std::size_t size : {std::size_t{4096}, std::size_t{1} << 20}) {
        std::string text(size - 12, 's');
        int n = size > 4096 ? (quick ? 5 : 50) : small_n / 2;
        // Both build the frame around the host's text on every call.
        pair_rounds(size > 4096 ? "ExecSQL 1 MiB request" : "ExecSQL 4 KiB request", rounds, n,
                    [&] { check(lib.ExecSQL(text.c_str(), "", ""), "mid ExecSQL"); },
                    [&] { raw_call(exec_frame(text)); }, static_cast<double>(size));
    }
    int setup_n = quick ? 10 : 100;
    pair_rounds("plain set-up + first call", rounds, setup_n,
                [&] {
                    lib.Done();
                    check(lib.ExecSQL("select * from t1", "", ""), "set-up call");
                },
                [&] {
                    stream s;
                    s.fd = tcp_connect(p.plain);
                    std::string req = small_ops()[0].request;
                    check(s.send_all(req.data(), req.size()) && s.read_message(buf) == 1, "raw set-up");
                });

    // TLS at level 2 with a CA file, against a raw OpenSSL client.
    qtest::LoadedLibrary tls_lib(library_path, ini_for(2, pki.path("ca.pem")).c_str());
    check(tls_lib.ok() && tls_lib.Init("127.0.0.1", p.tls), "TLS library");
    SSL_CTX* ctx = client_ctx(pki.path("ca.pem"));
    stream tls_raw;
    tls_connect(tls_raw, ctx, p.tls);
    std::string exec_req = small_ops()[0].request;
    pair_rounds("TLS small ExecSQL", rounds, small_n, [&] { check(tls_lib.ExecSQL("select * from t1", "", ""), "TLS call"); },
                [&] { check(tls_raw.send_all(exec_req.data(), exec_req.size()) && tls_raw.read_message(buf) == 1, "raw TLS call"); });
    pair_rounds("TLS set-up + first call", rounds, quick ? 5 : 40,
                [&] {
                    tls_lib.Done();
                    check(tls_lib.ExecSQL("select * from t1", "", ""), "TLS set-up call");
                },
                [&] {
                    stream s;
                    tls_connect(s, ctx, p.tls);
                    check(s.send_all(exec_req.data(), exec_req.size()) && s.read_message(buf) == 1, "raw TLS set-up");
                });

    std::printf("| case | library / raw: rate (library / raw) | CPU per call: library / raw | "
                "system calls per call: library / raw | peak RSS above base / payload: library (raw) |\n"
                "|---|---|---|---|---|\n");
    for (const row& r : table)
        std::printf("| %s | %s | %s | %s | %s |\n", r.name.c_str(), r.ratio.c_str(), r.cpu.c_str(),
                    r.syscalls.c_str(), r.rss.c_str());
    std::printf("\n%d rounds of %d small calls; large cases %d rounds, one child process each; base RSS %ld KiB; %s.\n",
                rounds, small_n, large_rounds, base_kb,
                cpu >= 0 ? ("server and clients on CPU " + std::to_string(cpu)).c_str() : "not pinned");
    ::kill(server, SIGKILL);
    ::waitpid(server, nullptr, 0);
    tp::remove_tree(dir);
    return 0;
}
