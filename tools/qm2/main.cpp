// qm2: calls one operation of the Quelmar client library from the command
// line, loading the library by path the way a host application does.

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "platform.h"
#include "quel2cln_version.h"
#include "report.h"
#include "run.h"

namespace {

using namespace qm2;

void print(std::FILE* to, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), to);
    std::fflush(to);
}

void describe_library(const library& lib) {
    const std::string path = lib.file();
    const std::string ini = join_path(directory_of(path), "quel2cln.ini");
    print(stderr, "qm2: library " + path + "\n");
    print(stderr, "qm2: settings " + ini + (file_exists(ini) ? "" : " (not found: defaults apply)") +
                      "\n");
}

// qm2 --version: qm2's own version, then the library's (the file it
// loaded, and that file's version).
int print_versions(const std::string& path) {
    print(stdout, "qm2 " QUEL2CLN_VERSION "\n");
    try {
        const auto lib = library::load(path);
        const std::string version = lib->version();
        print(stdout, "library " + lib->file() + " " + (version.empty() ? "(no version)" : version) +
                          "\n");
    } catch (const std::exception& e) {
        print(stderr, error_line(e.what()));
        return exit_failed;
    }
    return exit_ok;
}

// Arms the watchdog for one call, if --timeout was given.
void guard_call(const options& opt) {
    if (opt.timeout_ms <= 0) return;
    const std::string text = "no answer within " + std::to_string(opt.timeout_ms) + " ms";
    const std::string json_line =
        opt.json ? json_report(opt.name, call_result{false, text, {}}) : std::string();
    arm_watchdog(opt.timeout_ms, error_line(text), json_line);
}

int run_single(const api& exports, const options& opt) {
    guard_call(opt);
    const call_result r = call_once(exports, opt);
    disarm_watchdog();
    print(stdout, opt.json ? json_report(opt.name, r) : text_report(r));
    if (!r.ok) print(stderr, error_line(r.error));
    return r.ok ? exit_ok : exit_failed;
}

int run_repeated(const api& exports, const options& opt) {
    using clock = std::chrono::steady_clock;
    const bool progress = stderr_is_terminal();
    repeat_report report;
    std::vector<double> samples;
    samples.reserve(opt.repeat);
    auto last_progress = clock::now();
    for (unsigned long i = 0; i < opt.repeat; ++i) {
        guard_call(opt);
        const auto start = clock::now();
        const call_result r = call_once(exports, opt);
        const auto end = clock::now();
        disarm_watchdog();
        samples.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        if (!r.ok && report.failures++ == 0) report.first_error = r.error;
        if (progress && end - last_progress > std::chrono::milliseconds(500)) {
            last_progress = end;
            print(stderr, "\rqm2: " + std::to_string(i + 1) + "/" + std::to_string(opt.repeat) +
                              " calls, " + std::to_string(report.failures) + " failed");
        }
    }
    if (progress) print(stderr, "\r\033[K");
    report.count = opt.repeat;
    report.times = summarize(std::move(samples));
    print(stdout, opt.json ? json_report(opt.name, report) : text_report(report));
    if (report.failures > 0) print(stderr, error_line(report.first_error));
    return report.failures == 0 ? exit_ok : exit_failed;
}

}  // namespace

int main(int argc, char** argv) {
    options opt;
    std::string error;
    const std::vector<std::string> args(argv + 1, argv + argc);
    const parse_result parsed = parse_args(args, opt, error);
    switch (parsed) {
    case parse_result::help: print(stdout, usage_text); return exit_ok;
    case parse_result::usage_error:
        print(stderr, "qm2: " + error + "\n(see qm2 --help)\n");
        return exit_usage;
    case parse_result::version:
    case parse_result::run: break;
    }

    const std::string path =
        opt.library.empty() ? default_library_path() : library_path_argument(opt.library);
    if (parsed == parse_result::version) return print_versions(path);
    if (opt.trace) set_environment("QUEL2CLN_TRACE", *opt.trace);
    std::unique_ptr<library> lib;
    try {
        lib = library::load(path);
    } catch (const std::exception& e) {
        if (opt.json) print(stdout, json_report(opt.name, call_result{false, e.what(), {}}));
        print(stderr, error_line(e.what()));
        return exit_failed;
    }
    const api& exports = lib->api();
    if (opt.verbose) describe_library(*lib);

    if (!exports.init(opt.host ? opt.host->c_str() : nullptr, opt.port)) {
        const call_result r{false, last_error(exports), {}};
        if (opt.json) print(stdout, json_report(opt.name, r));
        print(stderr, error_line(r.error));
        return exit_failed;
    }
    const int status = opt.repeat > 1 ? run_repeated(exports, opt) : run_single(exports, opt);
    exports.done();
    return status;
}
