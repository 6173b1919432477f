// quelmar-stub's rules loader. Any text must either give rules or be refused
// with a rules_error naming the line; nothing else may escape.

#include <cstddef>
#include <cstdint>
#include <string>

#include "../tools/stub/rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        stub::parse_rules(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const stub::rules_error&) {
    }
    return 0;
}
