#include "request.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "components/serializer.h"
#include "protocol/message.h"

namespace stub {
namespace {

struct field_spec {
    const char* name;
    field::kind what;
};

const std::vector<field_spec>& fields_of(int type) {
    using k = field::kind;
    static const std::vector<field_spec> none;
    static const std::vector<field_spec> three = {
        {"text1", k::text}, {"text2", k::text}, {"text3", k::text}};
    static const std::vector<field_spec> calc = {
        {"text1", k::text}, {"text2", k::text}, {"text3", k::text}, {"fields", k::pairs}};
    static const std::vector<field_spec> save = {{"text1", k::text}, {"text2", k::text},
                                                 {"text3", k::text}, {"text4", k::text},
                                                 {"text5", k::text}};
    static const std::vector<field_spec> lock = {{"text1", k::text},
                                                 {"text2", k::text},
                                                 {"lock_mode", k::integer},
                                                 {"text4", k::text},
                                                 {"number", k::integer}};
    switch (type) {
    case quel::ExecSQL:
    case quel::GetAutoInc: return three;
    case quel::CalcAutoInc: return calc;
    case quel::SaveResult: return save;
    case quel::Lock: return lock;
    default: return none;
    }
}

field text_field(const orbl::in_serialize& in) {
    field f;
    in >> f.text;
    return f;
}

field number_field(std::int64_t n) {
    field f;
    f.what = field::kind::integer;
    f.number = n;
    return f;
}

}  // namespace

std::uint32_t read_u32_le(const char* at) { return orbl::read_u32_le(at); }

void field::add_pair(std::string_view first, std::string_view second) {
    for (const std::string_view t : {first, second}) {
        char prefix[4];
        orbl::write_u32_le(prefix, static_cast<std::uint32_t>(t.size()));
        text.append(prefix, sizeof prefix);
        text.append(t);
    }
    ++pair_count;
}

std::string field::match_text() const {
    switch (what) {
    case kind::text: return text;
    case kind::integer: return std::to_string(number);
    case kind::pairs: break;
    }
    std::string out;
    out.reserve(text.size() / 4);
    for_each_pair([&out](std::string_view first, std::string_view second) {
        if (!out.empty()) out += ',';
        out.append(first);
        out += ':';
        out.append(second);
    });
    return out;
}

const field* request::find(const std::string& name) const {
    for (const auto& [n, f] : fields)
        if (n == name) return &f;
    return nullptr;
}

std::string type_name(int type) {
    static const char* const names[] = {"Reply",      "ErrorReply", "ExecSQL",
                                        "GetAutoInc", "CalcAutoInc", "SaveResult",
                                        "Lock"};
    if (type >= 1 && type <= 7) return names[type - 1];
    return "type " + std::to_string(type);
}

int type_from_name(const std::string& name) {
    for (int t = quel::ExecSQL; t <= quel::Lock; ++t)
        if (type_name(t) == name) return t;
    return 0;
}

bool is_request_type(int type) { return type >= quel::ExecSQL && type <= quel::Lock; }

bool field_kind(int type, const std::string& name, field::kind& kind) {
    for (const auto& entry : fields_of(type)) {
        if (name == entry.name) {
            kind = entry.what;
            return true;
        }
    }
    return false;
}

std::string field_names(int type) {
    std::string out;
    for (const auto& entry : fields_of(type)) {
        if (!out.empty()) out += ", ";
        out += entry.name;
    }
    return out;
}

request decode_request(int type, std::vector<char>::const_iterator begin,
                       std::vector<char>::const_iterator end) {
    const orbl::in_serialize in(begin, end);
    request req;
    req.type = type;
    const auto text = [&](const char* name) { req.fields.emplace_back(name, text_field(in)); };

    switch (type) {
    case quel::ExecSQL:
    case quel::GetAutoInc:
    case quel::SaveResult:
        for (const auto& entry : fields_of(type)) text(entry.name);
        break;
    case quel::CalcAutoInc: {
        text("text1");
        text("text2");
        text("text3");
        unsigned int count = 0;
        in >> count;
        field pairs;
        pairs.what = field::kind::pairs;
        // Every pair is checked against the bytes present, then the list is
        // kept as it came: the count comes from the client, so nothing is
        // sized by it.
        const auto start = end - static_cast<std::ptrdiff_t>(in.remaining());
        std::string first, second;
        for (unsigned int i = 0; i < count; ++i) in >> first >> second;
        const auto stop = end - static_cast<std::ptrdiff_t>(in.remaining());
        // resize and copy: assign() from iterators would build a temporary.
        pairs.text.resize(static_cast<std::size_t>(stop - start));
        std::copy(start, stop, pairs.text.begin());
        pairs.pair_count = count;
        req.fields.emplace_back("fields", std::move(pairs));
        break;
    }
    case quel::Lock: {
        text("text1");
        text("text2");
        int mode = 0;
        in >> mode;
        // Only -1, 0 and 1 are modes; the fields after another cannot be
        // known, and answering it with a Reply would tell its client that
        // it holds a lock.
        if (mode < -1 || mode > 1) throw std::runtime_error("invalid lock mode");
        req.fields.emplace_back("lock_mode", number_field(mode));
        if (mode == 0 || mode == 1) {
            text("text4");
            unsigned int number = 0;
            in >> number;
            req.fields.emplace_back("number", number_field(number));
        }
        break;
    }
    default: break;
    }
    return req;
}

}  // namespace stub
