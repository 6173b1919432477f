#include "support/loaded_library.h"

#include <vector>

#include "support/platform.h"

namespace qtest {
namespace tp = test_platform;

LoadedLibrary::LoadedLibrary(const std::string& built_path, const char* ini_text) {
    dir_ = tp::make_temp_dir();
    if (dir_.empty()) {
        error_ = "cannot make a temporary directory";
        return;
    }
    std::string copy = tp::join_path(dir_, tp::library_file_name(built_path));
    if (!tp::copy_file(built_path, copy)) {
        error_ = "cannot copy " + built_path;
        return;
    }
    if (ini_text && !tp::write_file(tp::join_path(dir_, "quel2cln.ini"), ini_text)) {
        error_ = "cannot write quel2cln.ini";
        return;
    }
    handle_ = tp::load_library(copy, error_);
    if (!handle_) return;
    resolve(Init, "qm2_Init");
    resolve(Done, "qm2_Done");
    resolve(LastError, "qm2_LastError");
    resolve(ExecSQL, "qm2_ExecSQL");
    resolve(GetAutoInc, "qm2_GetAutoInc");
    resolve(CalcAutoInc, "qm2_CalcAutoInc");
    resolve(SaveResult, "qm2_SaveResult");
    resolve(Lock, "qm2_Lock");
}

LoadedLibrary::~LoadedLibrary() {
    unload();
    tp::remove_tree(dir_);
}

void LoadedLibrary::unload() {
    tp::unload_library(handle_);
    handle_ = nullptr;
}

template <typename Fn>
void LoadedLibrary::resolve(Fn& fn, const char* name) {
    fn = reinterpret_cast<Fn>(tp::find_symbol(handle_, name));
    if (!fn && error_.empty()) error_ = std::string("missing export ") + name;
}

std::string LoadedLibrary::last_error() const {
    std::vector<char> buffer(4097, '\x7f');
    if (!LastError(buffer.data(), 4096)) return "<none>";
    return std::string(buffer.data());
}

}  // namespace qtest
