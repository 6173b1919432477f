#pragma once

namespace quel {

extern const char* const invalid_lock_mode_text;  // "invalid lock mode"

}  // namespace quel
