#pragma once
// One fresh copy of the built library, loaded by path the way a host loads
// it: the copy sits in a temporary directory of its own beside its
// quel2cln.ini, so every instance starts from the library's load-time state.

#include <string>

#include "quel2cln.h"

namespace qtest {

class LoadedLibrary {
public:
    // Copies `built_path` into a new temporary directory, writes `ini_text`
    // as its quel2cln.ini (no file when `ini_text` is null) and loads the
    // copy. Check ok() / error() afterwards.
    LoadedLibrary(const std::string& built_path, const char* ini_text);
    ~LoadedLibrary();
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    bool ok() const { return handle_ != nullptr && error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& dir() const { return dir_; }

    // Unloads the library early (the destructor does it otherwise).
    void unload();

    // The last error text, or "<none>" when qm2_LastError reports none.
    std::string last_error() const;

    qm2_Init_fn Init = nullptr;
    qm2_Done_fn Done = nullptr;
    qm2_LastError_fn LastError = nullptr;
    qm2_ExecSQL_fn ExecSQL = nullptr;
    qm2_GetAutoInc_fn GetAutoInc = nullptr;
    qm2_CalcAutoInc_fn CalcAutoInc = nullptr;
    qm2_SaveResult_fn SaveResult = nullptr;
    qm2_Lock_fn Lock = nullptr;

private:
    template <typename Fn>
    void resolve(Fn& fn, const char* name);

    std::string dir_;
    std::string error_;
    void* handle_ = nullptr;
};

}  // namespace qtest
