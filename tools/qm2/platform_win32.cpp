#include "platform.h"

#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

// Paths are the process's ANSI code page texts, like the command line they
// come from.

namespace qm2 {
namespace {

class win32_library : public library {
public:
    explicit win32_library(HMODULE module) : module_(module) {}
    ~win32_library() override { ::FreeLibrary(module_); }
    const qm2::api& api() const override { return api_; }
    std::string file() const override {
        char path[MAX_PATH];
        const DWORD n = ::GetModuleFileNameA(module_, path, MAX_PATH);
        if (n == 0 || n >= MAX_PATH) return std::string();
        return std::string(path, n);
    }

    std::string version() const override {
        std::wstring path(MAX_PATH, L'\0');
        const DWORD n = ::GetModuleFileNameW(module_, &path[0], MAX_PATH);
        if (n == 0 || n >= MAX_PATH) return std::string();
        path.resize(n);
        DWORD ignored = 0;
        const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
        if (size == 0) return std::string();
        std::string data(size, '\0');
        VS_FIXEDFILEINFO* info = nullptr;
        UINT info_size = 0;
        if (!::GetFileVersionInfoW(path.c_str(), 0, size, &data[0]) ||
            !::VerQueryValueW(&data[0], L"\\", reinterpret_cast<void**>(&info), &info_size) ||
            info == nullptr || info_size < sizeof *info)
            return std::string();
        return std::to_string(HIWORD(info->dwFileVersionMS)) + "." +
               std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
               std::to_string(HIWORD(info->dwFileVersionLS));
    }

    qm2::api api_;

private:
    HMODULE module_;
};

template <typename Fn>
void resolve(HMODULE module, const std::string& path, const char* name, Fn& out) {
    FARPROC symbol = ::GetProcAddress(module, name);
    if (symbol == nullptr) throw std::runtime_error("library " + path + " has no export " + name);
    out = reinterpret_cast<Fn>(reinterpret_cast<void*>(symbol));
}

std::string system_message(DWORD code) {
    char text[512];
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               code, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) --n;
    if (n == 0) return "error " + std::to_string(code);
    return std::string(text, n) + " (error " + std::to_string(code) + ")";
}

// Written before the timer is armed; the timer's callback only reads.
char watchdog_message[1024];
DWORD watchdog_message_size = 0;
char watchdog_json[1024];
DWORD watchdog_json_size = 0;
HANDLE watchdog_timer = nullptr;

DWORD copy_text(const std::string& text, char* to, std::size_t capacity) {
    const std::size_t n = text.size() < capacity ? text.size() : capacity;
    std::memcpy(to, text.data(), n);
    return static_cast<DWORD>(n);
}

void write_all(DWORD which, const char* data, DWORD size) {
    DWORD written = 0;
    if (size > 0) ::WriteFile(::GetStdHandle(which), data, size, &written, nullptr);
}

// Ends the process at once: the call it gives up on still holds the library.
VOID CALLBACK on_watchdog(PVOID, BOOLEAN) {
    std::fflush(stdout);
    write_all(STD_OUTPUT_HANDLE, watchdog_json, watchdog_json_size);
    write_all(STD_ERROR_HANDLE, watchdog_message, watchdog_message_size);
    ::TerminateProcess(::GetCurrentProcess(), 1);
}

}  // namespace

std::unique_ptr<library> library::load(const std::string& path) {
    // A DLL's own imports are searched for beside it first.
    HMODULE module = ::LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr)
        throw std::runtime_error("cannot load library: " + path + ": " +
                                 system_message(::GetLastError()));
    auto lib = std::make_unique<win32_library>(module);
    qm2::api& a = lib->api_;
    resolve(module, path, "qm2_Init", a.init);
    resolve(module, path, "qm2_Done", a.done);
    resolve(module, path, "qm2_LastError", a.last_error);
    resolve(module, path, "qm2_ExecSQL", a.exec_sql);
    resolve(module, path, "qm2_GetAutoInc", a.get_auto_inc);
    resolve(module, path, "qm2_CalcAutoInc", a.calc_auto_inc);
    resolve(module, path, "qm2_SaveResult", a.save_result);
    resolve(module, path, "qm2_Lock", a.lock);
    return lib;
}

std::string default_library_path() {
    char self[MAX_PATH];
    const DWORD n = ::GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
        const std::string beside = join_path(directory_of(std::string(self, n)), QM2_LIBRARY_NAME);
        if (file_exists(beside)) return beside;
    }
    return QM2_LIBRARY_NAME;
}

std::string library_path_argument(const std::string& value) {
    return value.find_first_of("/\\:") == std::string::npos ? ".\\" + value : value;
}

std::string directory_of(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return ".";
    if (slash == 0 || (slash == 2 && path[1] == ':')) return path.substr(0, slash + 1);
    return path.substr(0, slash);
}

std::string join_path(const std::string& dir, const std::string& name) {
    const char last = dir.empty() ? '\\' : dir.back();
    return last == '\\' || last == '/' ? dir + name : dir + "\\" + name;
}

bool file_exists(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void set_environment(const char* name, const std::string& value) {
    ::SetEnvironmentVariableA(name, value.c_str());
}

bool stderr_is_terminal() { return ::_isatty(::_fileno(stderr)) != 0; }

void arm_watchdog(long milliseconds, const std::string& message, const std::string& json_line) {
    disarm_watchdog();
    watchdog_message_size = copy_text(message, watchdog_message, sizeof watchdog_message);
    watchdog_json_size = copy_text(json_line, watchdog_json, sizeof watchdog_json);
    ::CreateTimerQueueTimer(&watchdog_timer, nullptr, on_watchdog, nullptr,
                            static_cast<DWORD>(milliseconds), 0, WT_EXECUTEONLYONCE);
}

void disarm_watchdog() {
    if (watchdog_timer == nullptr) return;
    // Waits for a callback that has already started: it ends the process.
    ::DeleteTimerQueueTimer(nullptr, watchdog_timer, INVALID_HANDLE_VALUE);
    watchdog_timer = nullptr;
}

}  // namespace qm2
