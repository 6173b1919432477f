#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "components/text/text.h"
#include "components/trace/trace.h"

namespace orbl::trace_sink {

namespace {
int file = -1;
}  // namespace

bool open(const std::wstring& path) {
    close();
    const std::string name = wide_to_utf8(path);
    if (name.find('\0') != std::string::npos) return false;
    // Owner only: the trace holds the SQL texts of the host. Without
    // waiting: a FIFO with no reader is refused at once rather than holding
    // up the call, and a write that would wait fails instead.
    do {
        file = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
    } while (file < 0 && errno == EINTR);
    if (file < 0) return false;
    // A file, a terminal, a pipe or FIFO, or a socket; not a directory or
    // a disk.
    struct stat info {};
    if (::fstat(file, &info) != 0 || !(S_ISREG(info.st_mode) || S_ISFIFO(info.st_mode) ||
                                       S_ISCHR(info.st_mode) || S_ISSOCK(info.st_mode))) {
        close();
        return false;
    }
    return true;
}

void close() {
    if (file >= 0) ::close(file);
    file = -1;
}

namespace {

// Keeps SIGPIPE from the host while the trace writes: a reader of the trace
// that went away must not end the process. The signal is blocked in this
// thread only, and one raised by our write is taken off again before the
// mask is restored; one the host had pending already is left to it. The
// host's own handling of the signal is never changed.
class sigpipe_guard {
public:
    sigpipe_guard() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        was_pending_ = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        blocked_ = ::pthread_sigmask(SIG_BLOCK, &pipe_, &saved_) == 0;
    }
    ~sigpipe_guard() {
        if (!blocked_) return;
        if (raised_ && !was_pending_) {
            const timespec none{};
            while (::sigtimedwait(&pipe_, nullptr, &none) < 0 && errno == EINTR) {
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }
    sigpipe_guard(const sigpipe_guard&) = delete;
    sigpipe_guard& operator=(const sigpipe_guard&) = delete;
    void raised() { raised_ = true; }

private:
    sigset_t pipe_;
    sigset_t saved_;
    bool was_pending_ = false;
    bool blocked_ = false;
    bool raised_ = false;
};

}  // namespace

bool append(const std::string& line) {
    const int saved_errno = errno;
    sigpipe_guard guard;
    bool whole = false;
    for (;;) {
        const ssize_t n = ::write(file, line.data(), line.size());
        if (n >= 0) {
            whole = static_cast<std::size_t>(n) == line.size();
            break;
        }
        if (errno == EPIPE) guard.raised();
        if (errno != EINTR) break;
    }
    errno = saved_errno;
    return whole;
}

std::string timestamp() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    ::gmtime_r(&now.tv_sec, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<long>(now.tv_nsec / 1000000));
    return text;
}

unsigned long process_id() { return static_cast<unsigned long>(::getpid()); }

bool environment(const char* name, std::wstring& value) {
    const char* text = std::getenv(name);
    if (text == nullptr) return false;
    value = utf8_to_wide(text);
    return true;
}

std::string numeric_address(const std::vector<unsigned char>& socket_address) {
    char host[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(socket_address.data()),
                      static_cast<socklen_t>(socket_address.size()), host, sizeof host, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        return "?";
    return host;
}

void note(const std::string& text) {
    if (::isatty(STDERR_FILENO) != 1) return;
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
}

}  // namespace orbl::trace_sink
