// The field-list parser. A list it accepts must hold only non-empty names
// and values free of the characters it strips or splits on, and writing the
// entries back as "a:b,c:d" must parse to the same entries.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "components/text/serializer.h"
#include "operations/field_list.h"
#include "protocol/errors.h"

namespace {

bool clean(const std::string& part) {
    return !part.empty() && part.find_first_of(" .,:") == std::string::npos;
}

std::vector<std::pair<std::string, std::string>> entries_of(const std::string& text) {
    const quel::FieldList list(text);
    // Read back with the one decoder of the wire encoding: exactly
    // size() pairs, and nothing after them.
    const std::vector<char> encoded(list.encoded().begin(), list.encoded().end());
    const orbl::in_serialize in(encoded.begin(), encoded.end());
    std::vector<std::pair<std::string, std::string>> entries(list.size());
    for (auto& entry : entries) in >> entry.first >> entry.second;
    if (in.remaining() != 0) std::abort();
    return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::pair<std::string, std::string>> entries;
    try {
        entries = entries_of(text);
    } catch (const quel::client_error&) {
        return 0;
    }
    std::string joined;
    for (const auto& entry : entries) {
        if (!clean(entry.first) || !clean(entry.second)) std::abort();
        if (!joined.empty()) joined += ',';
        joined += entry.first + ':' + entry.second;
    }
    if (entries_of(joined) != entries) std::abort();
    return 0;
}
