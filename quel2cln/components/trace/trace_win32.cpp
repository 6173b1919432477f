#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>

#include "components/trace/trace.h"

namespace orbl::trace_sink {

namespace {
HANDLE file = INVALID_HANDLE_VALUE;
}  // namespace

bool open(const std::wstring& path) {
    close();
    // Append-only access makes every write land at the end of the file, also
    // when other processes append to it.
    file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    // A disk file, or a character device (the console, NUL). A pipe is
    // refused: writing to it waits for its reader, and no write of the
    // trace may hold up a call.
    const DWORD type = ::GetFileType(file);
    if (type != FILE_TYPE_DISK && type != FILE_TYPE_CHAR) {
        close();
        return false;
    }
    return true;
}

void close() {
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
}

bool append(const std::string& line) {
    DWORD written = 0;
    return ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
           written == line.size();
}

std::string timestamp() {
    SYSTEMTIME utc{};
    ::GetSystemTime(&utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", utc.wYear, utc.wMonth,
                  utc.wDay, utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds);
    return text;
}

unsigned long process_id() { return ::GetCurrentProcessId(); }

bool environment(const char* name, std::wstring& value) {
    std::wstring wide_name(name, name + std::char_traits<char>::length(name));
    const DWORD needed = ::GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
    if (needed == 0) {
        // Set but empty, or not set at all.
        value.clear();
        return ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    }
    value.assign(needed, L'\0');
    const DWORD n = ::GetEnvironmentVariableW(wide_name.c_str(), &value[0], needed);
    value.resize(n < needed ? n : 0);
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
    HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    if (err == nullptr || err == INVALID_HANDLE_VALUE || ::GetFileType(err) != FILE_TYPE_CHAR) return;
    DWORD written = 0;
    ::WriteFile(err, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace orbl::trace_sink
