#include "platform.h"

#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace qm2 {
namespace {

class posix_library : public library {
public:
    explicit posix_library(void* handle) : handle_(handle) {}
    ~posix_library() override { ::dlclose(handle_); }
    const qm2::api& api() const override { return api_; }
    std::string file() const override {
        Dl_info info{};
        if (::dladdr(reinterpret_cast<void*>(api_.init), &info) == 0 || info.dli_fname == nullptr)
            return std::string();
        char resolved[PATH_MAX];
        if (::realpath(info.dli_fname, resolved) == nullptr) return info.dli_fname;
        return resolved;
    }

    std::string version() const override {
        // libquel2cln.so.1.0.0: what follows ".so.".
        const std::string path = file();
        const auto at = path.rfind(".so.");
        return at == std::string::npos ? std::string() : path.substr(at + 4);
    }

    qm2::api api_;

private:
    void* handle_;
};

template <typename Fn>
void resolve(void* handle, const std::string& path, const char* name, Fn& out) {
    void* symbol = ::dlsym(handle, name);
    if (symbol == nullptr) throw std::runtime_error("library " + path + " has no export " + name);
    out = reinterpret_cast<Fn>(symbol);
}

// Written once before the timer is armed; the signal handler only reads.
char watchdog_message[1024];
std::size_t watchdog_message_size = 0;
char watchdog_json[1024];
std::size_t watchdog_json_size = 0;

std::size_t copy_text(const std::string& text, char* to, std::size_t capacity) {
    const std::size_t n = text.size() < capacity ? text.size() : capacity;
    std::memcpy(to, text.data(), n);
    return n;
}

extern "C" void on_watchdog(int) {
    if (watchdog_json_size > 0)
        [[maybe_unused]] const ssize_t a = ::write(STDOUT_FILENO, watchdog_json, watchdog_json_size);
    [[maybe_unused]] const ssize_t b = ::write(STDERR_FILENO, watchdog_message, watchdog_message_size);
    ::_exit(1);
}

void set_timer(long milliseconds) {
    itimerval timer{};
    timer.it_value.tv_sec = milliseconds / 1000;
    timer.it_value.tv_usec = (milliseconds % 1000) * 1000;
    ::setitimer(ITIMER_REAL, &timer, nullptr);
}

}  // namespace

std::unique_ptr<library> library::load(const std::string& path) {
    ::dlerror();
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = ::dlerror();
        // The loader's reason names the file.
        throw std::runtime_error(std::string("cannot load library: ") +
                                 (reason != nullptr ? reason : path));
    }
    auto lib = std::make_unique<posix_library>(handle);
    qm2::api& a = lib->api_;
    resolve(handle, path, "qm2_Init", a.init);
    resolve(handle, path, "qm2_Done", a.done);
    resolve(handle, path, "qm2_LastError", a.last_error);
    resolve(handle, path, "qm2_ExecSQL", a.exec_sql);
    resolve(handle, path, "qm2_GetAutoInc", a.get_auto_inc);
    resolve(handle, path, "qm2_CalcAutoInc", a.calc_auto_inc);
    resolve(handle, path, "qm2_SaveResult", a.save_result);
    resolve(handle, path, "qm2_Lock", a.lock);
    return lib;
}

std::string default_library_path() {
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        const std::string beside = directory_of(std::string(self, static_cast<std::size_t>(n))) +
                                   "/" + QM2_LIBRARY_NAME;
        if (file_exists(beside)) return beside;
    }
    return QM2_LIBRARY_NAME;
}

std::string library_path_argument(const std::string& value) {
    return value.find('/') == std::string::npos ? "./" + value : value;
}

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string join_path(const std::string& dir, const std::string& name) {
    return dir == "/" ? dir + name : dir + "/" + name;
}

bool file_exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

void set_environment(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }

bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

void arm_watchdog(long milliseconds, const std::string& message, const std::string& json_line) {
    watchdog_message_size = copy_text(message, watchdog_message, sizeof watchdog_message);
    watchdog_json_size = copy_text(json_line, watchdog_json, sizeof watchdog_json);
    struct sigaction sa {};
    sa.sa_handler = on_watchdog;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGALRM, &sa, nullptr);
    set_timer(milliseconds);
}

void disarm_watchdog() { set_timer(0); }

}  // namespace qm2
