// quelmar-stub: a stand-in Quelmar server for testing host applications.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <string>

#include "journal.h"
#include "responder.h"
#include "rules.h"
#include "server.h"
#include "tls_front.h"

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

const char* const usage_text =
    "usage: quelmar-stub [--listen HOST:PORT] [--rules FILE] [--journal FILE]\n"
    "                    [--max-connections N] [--idle-timeout SECONDS]\n"
    "                    [--tls-cert FILE [--tls-key FILE] [--tls-client-ca FILE]]\n"
    "\n"
    "A stand-in Quelmar server for tests. Without rules it answers every\n"
    "request with success.\n"
    "\n"
    "  --listen HOST:PORT  address to listen on (default 127.0.0.1:0; port 0\n"
    "                      takes any free port; IPv6 as [::1]:PORT)\n"
    "  --rules FILE        JSON rules file: matches and answers, tried in order\n"
    "  --journal FILE      append one JSON line per request received ('-' for\n"
    "                      standard output)\n"
    "  --max-connections N  connections served at once, 1 to 100000 (default\n"
    "                      256); at the limit a new connection closes the one\n"
    "                      that has waited longest on its client, or is closed\n"
    "                      at once when every connection is busy answering\n"
    "  --idle-timeout SECONDS  close a connection after this long without a\n"
    "                      byte in or out, 0 to 86400, 0 for never (default 300)\n"
    "  --tls-cert FILE     speak TLS, showing this PEM certificate (followed by\n"
    "                      its chain, if any)\n"
    "  --tls-key FILE      PEM key of the certificate, not encrypted (default:\n"
    "                      read from the --tls-cert file)\n"
    "  --tls-client-ca FILE  demand a client certificate signed by a CA in\n"
    "                      this PEM file\n"
    "  --help              show this text\n"
    "\n"
    "The first line on standard output is \"listening HOST:PORT\". SIGINT or\n"
    "SIGTERM stops the server. Exit status: 0 after a clean stop, 1 when the\n"
    "address cannot be used or the journal cannot be opened, 2 for a usage\n"
    "error or a bad rules file.\n";

int stop_pipe[2] = {-1, -1};

extern "C" void on_stop_signal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(stop_pipe[1], &byte, 1);
    errno = saved;
}

bool install_stop_signals() {
    if (::pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

// A whole number in [lo, hi], digits only.
bool parse_count(const std::string& text, long lo, long hi, long& out) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out = std::stol(text);
    return out >= lo && out <= hi;
}

// Raises the descriptor limit to what `connections` need (up to the hard
// limit) and returns how many connections the limit allows.
std::size_t fit_descriptors(std::size_t connections, std::size_t per_connection) {
    constexpr std::size_t reserve = 32;  // listeners, journal, standard streams
    const rlim_t needed = connections * per_connection + reserve;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return connections;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? needed : std::min(needed, limit.rlim_max);
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= needed) return connections;
    const std::size_t fit =
        limit.rlim_cur > reserve ? (limit.rlim_cur - reserve) / per_connection : 1;
    return std::max<std::size_t>(fit, 1);
}

int usage_error(const std::string& text) {
    std::cerr << "quelmar-stub: " << text << "\n(see quelmar-stub --help)" << std::endl;
    return exit_usage;
}

}  // namespace

int main(int argc, char** argv) {
    std::string listen_text = "127.0.0.1:0";
    std::string rules_path, journal_path, max_text = "256", idle_text = "300";
    stub::tls_settings tls;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << usage_text;
            return exit_ok;
        }
        std::string* target = arg == "--listen"    ? &listen_text
                              : arg == "--rules"   ? &rules_path
                              : arg == "--journal" ? &journal_path
                              : arg == "--max-connections" ? &max_text
                              : arg == "--idle-timeout" ? &idle_text
                              : arg == "--tls-cert" ? &tls.cert_file
                              : arg == "--tls-key" ? &tls.key_file
                              : arg == "--tls-client-ca" ? &tls.client_ca_file
                                                   : nullptr;
        if (target == nullptr) return usage_error("unknown option \"" + arg + "\"");
        if (i + 1 >= argc) return usage_error("option " + arg + " needs a value");
        *target = argv[++i];
    }

    stub::listen_address address;
    if (!stub::parse_listen(listen_text, address))
        return usage_error("invalid listen address \"" + listen_text + "\" (expected HOST:PORT)");

    long max_connections = 0, idle_seconds = 0;
    if (!parse_count(max_text, 1, 100000, max_connections))
        return usage_error("--max-connections must be a number from 1 to 100000");
    if (!parse_count(idle_text, 0, 86400, idle_seconds))
        return usage_error("--idle-timeout must be a number of seconds from 0 to 86400");

    if (tls.cert_file.empty() && !(tls.key_file.empty() && tls.client_ca_file.empty()))
        return usage_error("--tls-key and --tls-client-ca need --tls-cert");

    std::vector<stub::rule> rules;
    if (!rules_path.empty()) {
        try {
            rules = stub::load_rules(rules_path);
        } catch (const stub::rules_error& e) {
            std::cerr << "quelmar-stub: bad rules file: " << e.what() << std::endl;
            return exit_usage;
        }
    }

    stub::journal journal;
    if (!journal_path.empty() && !journal.open(journal_path)) {
        std::cerr << "quelmar-stub: cannot open journal " << journal_path << ": "
                  << std::strerror(errno) << std::endl;
        return exit_failure;
    }
    if (!install_stop_signals()) {
        std::cerr << "quelmar-stub: cannot set up signal handling" << std::endl;
        return exit_failure;
    }

    // A TLS connection holds three descriptors: the client's, and both ends
    // of its loopback link to the plain server.
    stub::server_limits limits;
    limits.idle_timeout_ms = idle_seconds * 1000;
    const std::size_t per_connection = tls.cert_file.empty() ? 1 : 3;
    limits.max_connections = fit_descriptors(static_cast<std::size_t>(max_connections), per_connection);
    if (limits.max_connections < static_cast<std::size_t>(max_connections))
        std::cerr << "quelmar-stub: the descriptor limit allows " << limits.max_connections
                  << " connections" << std::endl;

    stub::responder answers(std::move(rules));
    stub::server server(answers, journal, limits);
    // With TLS, the plain server listens on loopback only and the TLS front
    // takes the public address.
    std::unique_ptr<stub::tls_front> front;
    try {
        std::string bound;
        if (tls.cert_file.empty()) {
            bound = server.listen(address);
        } else {
            front = std::make_unique<stub::tls_front>(tls, limits);
            const std::string inner = server.listen(stub::listen_address{});
            bound = front->listen(address);
            front->start(std::stoi(inner.substr(inner.rfind(':') + 1)));
        }
        std::cout << "listening " << bound << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "quelmar-stub: " << e.what() << std::endl;
        return exit_failure;
    }

    const bool stopped = server.run(stop_pipe[0]);
    const auto totals = server.totals();
    std::cerr << "quelmar-stub: stopped after " << totals.connections << " connections, "
              << totals.requests << " requests" << std::endl;
    return stopped ? exit_ok : exit_failure;
}
