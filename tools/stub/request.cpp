#include "request.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "components/text/serializer.h"
#include "protocol/message.h"
#include "protocol/requests.h"

namespace stub {
namespace {

// What the rules see of a field of the request layout.
field::kind kind_of(quel::FieldKind kind) {
    switch (kind) {
    case quel::FieldKind::text: return field::kind::text;
    case quel::FieldKind::u32:
    case quel::FieldKind::lock_mode: return field::kind::integer;
    case quel::FieldKind::pairs: break;
    }
    return field::kind::pairs;
}

field text_field(const orbl::in_serialize& in) {
    field f;
    in >> f.text;
    return f;
}

// A field list: every pair is checked against the bytes present, then the
// list is kept as it came. The count comes from the client, so nothing is
// sized by it.
field pairs_field(const orbl::in_serialize& in, std::vector<char>::const_iterator end) {
    unsigned int count = 0;
    in >> count;
    field pairs;
    pairs.what = field::kind::pairs;
    const auto start = end - static_cast<std::ptrdiff_t>(in.remaining());
    std::string first, second;
    for (unsigned int i = 0; i < count; ++i) in >> first >> second;
    const auto stop = end - static_cast<std::ptrdiff_t>(in.remaining());
    // resize and copy: assign() from iterators would build a temporary.
    pairs.text.resize(static_cast<std::size_t>(stop - start));
    std::copy(start, stop, pairs.text.begin());
    pairs.pair_count = count;
    return pairs;
}

field number_field(std::int64_t n) {
    field f;
    f.what = field::kind::integer;
    f.number = n;
    return f;
}

}  // namespace

void field::add_pair(std::string_view first, std::string_view second) {
    for (const std::string_view t : {first, second}) {
        const std::size_t at = text.size();
        text.resize(at + 4 + t.size());
        orbl::put_text(&text[at], t);
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
    const quel::RequestLayout layout = quel::request_layout(type);
    for (std::size_t i = 0; i < layout.count; ++i) {
        if (name == layout.fields[i].name) {
            kind = kind_of(layout.fields[i].kind);
            return true;
        }
    }
    return false;
}

std::string field_names(int type) {
    const quel::RequestLayout layout = quel::request_layout(type);
    std::string out;
    for (std::size_t i = 0; i < layout.count; ++i) {
        if (!out.empty()) out += ", ";
        out += layout.fields[i].name;
    }
    return out;
}

request decode_request(int type, std::vector<char>::const_iterator begin,
                       std::vector<char>::const_iterator end) {
    const orbl::in_serialize in(begin, end);
    request req;
    req.type = type;
    const quel::RequestLayout layout = quel::request_layout(type);
    for (std::size_t i = 0; i < layout.count; ++i) {
        const quel::RequestField& f = layout.fields[i];
        switch (f.kind) {
        case quel::FieldKind::text: req.fields.emplace_back(f.name, text_field(in)); break;
        case quel::FieldKind::u32: {
            unsigned int number = 0;
            in >> number;
            req.fields.emplace_back(f.name, number_field(number));
            break;
        }
        case quel::FieldKind::lock_mode: {
            int mode = 0;
            in >> mode;
            // Only -1, 0 and 1 are modes; the fields after another cannot
            // be known, and answering it with a Reply would tell its client
            // that it holds a lock.
            if (mode < -1 || mode > 1) throw std::runtime_error("invalid lock mode");
            req.fields.emplace_back(f.name, number_field(mode));
            if (mode == -1) return req;
            break;
        }
        case quel::FieldKind::pairs: req.fields.emplace_back(f.name, pairs_field(in, end)); break;
        }
    }
    return req;
}

}  // namespace stub
