#include "cli.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace qm2 {

const char* const usage_text =
    "usage: qm2 [OPTIONS] COMMAND ARGS...\n"
    "\n"
    "Calls one operation of the Quelmar client library, loaded by path the\n"
    "way a host loads it.\n"
    "\n"
    "commands:\n"
    "  exec T1 T2 T3                    qm2_ExecSQL\n"
    "  get-auto-inc T1 T2 T3            qm2_GetAutoInc\n"
    "  calc-auto-inc T1 T2 T3 FIELDS    qm2_CalcAutoInc (FIELDS like \"id:1,code:2\")\n"
    "  save-result T1 T2 T3 T4 T5       qm2_SaveResult\n"
    "  lock T1 T2 MODE [T4 NUMBER]      qm2_Lock (MODE -1, 0 or 1)\n"
    "\n"
    "options (before the command):\n"
    "  --host H       server host (default: the library's, \"localhost\")\n"
    "  --port P       server port, 1 to 65535 (default: the library's, 85)\n"
    "  --lib PATH     library file to load (default: the one beside qm2, else\n"
    "                 the loader's search)\n"
    "  --json         print the result as one JSON object\n"
    "  --repeat N     run the operation N times on one connection and report\n"
    "                 count, failures and latency\n"
    "  --timeout MS   give up when a call has not returned after MS milliseconds\n"
    "  --trace FILE   have the library append a trace of its traffic to FILE\n"
    "                 (sets QUEL2CLN_TRACE for it)\n"
    "  --verbose      name the library and its settings file on standard error\n"
    "  --version      print the versions of qm2 and of the library it loads\n"
    "  --help         show this text\n"
    "\n"
    "exit status: 0 success, 1 the operation failed, 2 usage error\n";

namespace {

struct command_info {
    const char* name;
    qm2::command what;
    std::size_t min_args;
    std::size_t max_args;
};

const command_info commands[] = {
    {"exec", command::exec, 3, 3},
    {"get-auto-inc", command::get_auto_inc, 3, 3},
    {"calc-auto-inc", command::calc_auto_inc, 4, 4},
    {"save-result", command::save_result, 5, 5},
    {"lock", command::lock, 3, 5},
};

// A whole decimal number within [lo, hi], with an optional minus sign.
bool parse_integer(const std::string& text, long long lo, long long hi, long long& out) {
    if (text.empty() || text.size() > 20) return false;
    std::size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size()) return false;
    for (std::size_t k = i; k < text.size(); ++k)
        if (text[k] < '0' || text[k] > '9') return false;
    errno = 0;
    char* end = nullptr;
    const long long n = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || n < lo || n > hi) return false;
    out = n;
    return true;
}

bool option_value(const std::vector<std::string>& args, std::size_t& i, const std::string& name,
                  std::string& value, std::string& error) {
    const std::string& arg = args[i];
    if (arg.size() > name.size() && arg.compare(0, name.size() + 1, name + "=") == 0) {
        value = arg.substr(name.size() + 1);
        return true;
    }
    if (i + 1 >= args.size()) {
        error = "option " + name + " needs a value";
        return false;
    }
    value = args[++i];
    return true;
}

bool is_option(const std::string& arg, const char* name) {
    const std::string n = name;
    return arg == n || arg.compare(0, n.size() + 1, n + "=") == 0;
}

bool parse_command(const std::vector<std::string>& args, std::size_t first, options& out,
                   std::string& error) {
    const std::string& name = args[first];
    const command_info* info = nullptr;
    for (const auto& c : commands)
        if (name == c.name) info = &c;
    if (info == nullptr) {
        error = "unknown command \"" + name + "\"";
        return false;
    }
    const std::size_t count = args.size() - first - 1;
    if (count < info->min_args || count > info->max_args ||
        (info->what == command::lock && count == 4)) {
        error = "wrong number of arguments for " + name;
        return false;
    }
    out.what = info->what;
    out.name = name;
    out.texts.assign(args.begin() + static_cast<std::ptrdiff_t>(first) + 1, args.end());
    if (info->what != command::lock) return true;

    long long n = 0;
    if (!parse_integer(out.texts[2], std::numeric_limits<int>::min(),
                       std::numeric_limits<int>::max(), n)) {
        error = "lock MODE must be an integer (-1, 0 or 1)";
        return false;
    }
    out.lock_mode = static_cast<int>(n);
    if (count == 5) {
        if (!parse_integer(out.texts[4], 0, std::numeric_limits<std::uint32_t>::max(), n)) {
            error = "lock NUMBER must be an integer from 0 to 4294967295";
            return false;
        }
        out.number = static_cast<std::uint32_t>(n);
    }
    // texts keeps T1, T2 and T4 only.
    std::vector<std::string> texts = {out.texts[0], out.texts[1],
                                      count == 5 ? out.texts[3] : std::string()};
    out.texts = std::move(texts);
    return true;
}

}  // namespace

parse_result parse_args(const std::vector<std::string>& args, options& out, std::string& error) {
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string value;
        long long n = 0;
        if (arg == "--help" || arg == "-h") return parse_result::help;
        if (arg == "--version") return parse_result::version;
        if (arg == "--json") {
            out.json = true;
        } else if (arg == "--verbose" || arg == "-v") {
            out.verbose = true;
        } else if (is_option(arg, "--host")) {
            if (!option_value(args, i, "--host", value, error)) return parse_result::usage_error;
            out.host = value;
        } else if (is_option(arg, "--port")) {
            if (!option_value(args, i, "--port", value, error)) return parse_result::usage_error;
            if (!parse_integer(value, 1, 65535, n)) {
                error = "--port must be a number from 1 to 65535";
                return parse_result::usage_error;
            }
            out.port = static_cast<int>(n);
        } else if (is_option(arg, "--lib")) {
            if (!option_value(args, i, "--lib", value, error)) return parse_result::usage_error;
            if (value.empty()) {
                error = "--lib needs a path";
                return parse_result::usage_error;
            }
            out.library = value;
        } else if (is_option(arg, "--trace")) {
            if (!option_value(args, i, "--trace", value, error)) return parse_result::usage_error;
            out.trace = value;
        } else if (is_option(arg, "--repeat")) {
            if (!option_value(args, i, "--repeat", value, error)) return parse_result::usage_error;
            if (!parse_integer(value, 1, 1000000000, n)) {
                error = "--repeat must be a number from 1 to 1000000000";
                return parse_result::usage_error;
            }
            out.repeat = static_cast<unsigned long>(n);
        } else if (is_option(arg, "--timeout")) {
            if (!option_value(args, i, "--timeout", value, error)) return parse_result::usage_error;
            if (!parse_integer(value, 1, 86400000, n)) {
                error = "--timeout must be a number of milliseconds from 1 to 86400000";
                return parse_result::usage_error;
            }
            out.timeout_ms = static_cast<long>(n);
        } else if (arg == "--") {
            ++i;
            break;
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option \"" + arg + "\"";
            return parse_result::usage_error;
        } else {
            break;
        }
    }
    if (i >= args.size()) {
        error = "no command given";
        return parse_result::usage_error;
    }
    return parse_command(args, i, out, error) ? parse_result::run : parse_result::usage_error;
}

}  // namespace qm2
