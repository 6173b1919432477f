#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "components/text.h"
#include "components/trace.h"

namespace orbl::trace_sink {

namespace {
int file = -1;
}  // namespace

bool open(const std::wstring& path) {
    close();
    // Owner only: the trace holds the SQL texts of the host.
    file = ::open(wide_to_utf8(path).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    return file >= 0;
}

void close() {
    if (file >= 0) ::close(file);
    file = -1;
}

bool append(const std::string& line) {
    for (;;) {
        const ssize_t n = ::write(file, line.data(), line.size());
        if (n >= 0) return static_cast<std::size_t>(n) == line.size();
        if (errno != EINTR) return false;
    }
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
