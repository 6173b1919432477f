// The field-list parser. A list it accepts must hold only non-empty names
// and values free of the characters it strips or splits on, and writing the
// entries back as "a:b,c:d" must parse to the same entries.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "operations/field_list.h"
#include "protocol/errors.h"

namespace {

bool clean(const std::string& part) {
    return !part.empty() && part.find_first_of(" .,:") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::pair<std::string, std::string>> entries;
    try {
        entries = quel::parse_field_list(text);
    } catch (const quel::client_error&) {
        return 0;
    }
    std::string joined;
    for (const auto& entry : entries) {
        if (!clean(entry.first) || !clean(entry.second)) std::abort();
        if (!joined.empty()) joined += ',';
        joined += entry.first + ':' + entry.second;
    }
    if (quel::parse_field_list(joined) != entries) std::abort();
    return 0;
}
