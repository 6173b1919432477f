// quelmar-stub: a stand-in Quelmar server for testing host applications.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

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

int usage_error(const std::string& text) {
    std::cerr << "quelmar-stub: " << text << "\n(see quelmar-stub --help)" << std::endl;
    return exit_usage;
}

}  // namespace

int main(int argc, char** argv) {
    std::string listen_text = "127.0.0.1:0";
    std::string rules_path, journal_path;
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

    stub::responder answers(std::move(rules));
    stub::server server(answers, journal);
    // With TLS, the plain server listens on loopback only and the TLS front
    // takes the public address.
    std::unique_ptr<stub::tls_front> front;
    try {
        std::string bound;
        if (tls.cert_file.empty()) {
            bound = server.listen(address);
        } else {
            front = std::make_unique<stub::tls_front>(tls);
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
