#pragma once
// What qm2 needs of the platform: loading the library by path and finding
// its eight exports, a watchdog for calls that do not come back, and a few
// file and terminal questions. One implementation file per platform.

#include <memory>
#include <string>

#include "quel2cln.h"

namespace qm2 {

// The eight exports, resolved by name.
struct api {
    qm2_Init_fn init = nullptr;
    qm2_Done_fn done = nullptr;
    qm2_LastError_fn last_error = nullptr;
    qm2_ExecSQL_fn exec_sql = nullptr;
    qm2_GetAutoInc_fn get_auto_inc = nullptr;
    qm2_CalcAutoInc_fn calc_auto_inc = nullptr;
    qm2_SaveResult_fn save_result = nullptr;
    qm2_Lock_fn lock = nullptr;
};

// A loaded library; unloaded when destroyed.
class library {
public:
    // Loads the file at `path` and resolves the exports. Throws
    // std::runtime_error "cannot load library: REASON" or
    // "library PATH has no export NAME".
    static std::unique_ptr<library> load(const std::string& path);
    virtual ~library() = default;
    virtual const qm2::api& api() const = 0;
    // Absolute path of the file the loader actually loaded.
    virtual std::string file() const = 0;
    // The version of that file: from the real file name behind the soname
    // (libquel2cln.so.1.0.0), or from the DLL's version resource. Empty when
    // it tells none.
    virtual std::string version() const = 0;
};

// The library to load when --lib is not given: the one beside the qm2
// executable if there is one, else the bare file name for the loader's own
// search (on Linux: qm2's run path, then the system's library folders).
std::string default_library_path();
// A --lib value as a path for the loader: a bare file name is taken in the
// current directory, not searched for.
std::string library_path_argument(const std::string& value);
std::string directory_of(const std::string& path);
// `name` in the folder `dir`, with the platform's separator.
std::string join_path(const std::string& dir, const std::string& name);
bool file_exists(const std::string& path);
bool stderr_is_terminal();
// Sets an environment variable of this process, seen by the library it
// loads afterwards.
void set_environment(const char* name, const std::string& value);

// After `milliseconds`, writes `message` to standard error (and `json_line`,
// if not empty, to standard output) and ends the process with status 1.
// A call that does not come back cannot be interrupted otherwise: the
// library waits for its reply without limit. The texts are copied here.
void arm_watchdog(long milliseconds, const std::string& message, const std::string& json_line);
void disarm_watchdog();

}  // namespace qm2
