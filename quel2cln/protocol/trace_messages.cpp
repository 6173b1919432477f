#include "protocol/trace_messages.h"

#include <cstdint>

#include "components/trace/trace.h"
#include "protocol/requests.h"

namespace quel::trace {

namespace {

const char* type_name(int type) {
    switch (type) {
    case Reply: return "Reply";
    case ErrorReply: return "ErrorReply";
    case ExecSQL: return "ExecSQL";
    case GetAutoInc: return "GetAutoInc";
    case CalcAutoInc: return "CalcAutoInc";
    case SaveResult: return "SaveResult";
    case Lock: return "Lock";
    default: return "other";
    }
}

// Reads fields as the wire encodes them; a field that does not fit ends
// the reading and marks the line.
class field_reader {
public:
    field_reader(const char* data, std::size_t size) : data_(data), left_(size) {}

    bool u32(const char* name, std::uint32_t& value) {
        if (!take(4)) return false;
        value = get_u32(data_ - 4);
        out += std::string(" ") + name + "=" + std::to_string(value);
        return true;
    }
    bool i32(const char* name, int& value) {
        if (!take(4)) return false;
        value = static_cast<int>(get_u32(data_ - 4));
        out += std::string(" ") + name + "=" + std::to_string(value);
        return true;
    }
    bool flag(const char* name, bool& value) {
        if (!take(1)) return false;
        value = data_[-1] != 0;
        out += std::string(" ") + name + "=" + (value ? "true" : "false");
        return true;
    }
    bool text(const char* name) {
        std::string_view value;
        if (!piece(value)) return truncated();
        out += text_field(name, value);
        return true;
    }
    // The `count` name and value pairs of a field list, shown as one text
    // "name:value,name:value" that is cut like any other: its full length
    // is counted, only its start is copied.
    void field_list(std::uint32_t count) {
        std::string shown;
        std::size_t length = 0;
        bool whole = true;
        auto add = [&](std::string_view part) {
            length += part.size();
            if (shown.size() < max_text_bytes) shown.append(part.substr(0, max_text_bytes - shown.size()));
        };
        for (std::uint32_t i = 0; i < count && whole; ++i) {
            if (i > 0) add(",");
            std::string_view name, value;
            whole = piece(name) && piece(value);
            add(name);
            if (whole) {
                add(":");
                add(value);
            }
        }
        out += " fields[" + std::to_string(length) + "]=\"";
        append_escaped(out, shown);
        out += '"';
        if (length > shown.size()) out += "...";
        if (!whole) truncated();
    }

    std::string out;

private:
    // One length-prefixed text, taken without a copy.
    bool piece(std::string_view& text) {
        const char* at = data_;
        if (!orbl::take_text(at, data_ + left_, text)) return false;
        left_ -= static_cast<std::size_t>(at - data_);
        data_ = at;
        return true;
    }
    bool take(std::size_t n) {
        if (left_ < n) return truncated();
        data_ += n;
        left_ -= n;
        return true;
    }
    bool truncated() {
        out += " truncated";
        left_ = 0;
        return false;
    }

    const char* data_;
    std::size_t left_;
};

struct pending_request {
    int type = 0;
    int lock_mode = 0;
    std::int64_t sent_ms = 0;
} pending;

// Reads a request's fields as its layout gives them, into `r`; returns its
// lock mode (0 when it has none).
int read_request(field_reader& r, int type) {
    const RequestLayout layout = request_layout(type);
    std::uint32_t number = 0;
    int mode = 0;
    for (std::size_t i = 0; i < layout.count; ++i) {
        const RequestField& field = layout.fields[i];
        bool more = true;
        switch (field.kind) {
        case FieldKind::text: more = r.text(field.name); break;
        case FieldKind::u32: more = r.u32(field.name, number); break;
        case FieldKind::lock_mode: more = r.i32(field.name, mode) && mode != -1; break;
        case FieldKind::pairs:
            if ((more = r.u32("count", number))) r.field_list(number);
            break;
        }
        if (!more) break;
    }
    return mode;
}

int lock_mode_of(const char* data, std::size_t size) {
    field_reader r(data, size);
    return read_request(r, Lock);
}

const char* bytes(const IMessage& m) {
    return m.data_begin() == m.data_end() ? nullptr : &*m.data_begin();
}
std::size_t size(const IMessage& m) { return static_cast<std::size_t>(m.data_end() - m.data_begin()); }

}  // namespace

std::string request_fields(int type, const char* data, std::size_t size) {
    field_reader r(data, size);
    read_request(r, type);
    return r.out;
}

std::string answer_fields(int request_type, int lock_mode, int type, const char* data,
                          std::size_t size) {
    field_reader r(data, size);
    bool flag = false;
    std::uint32_t value = 0;
    if (type == ErrorReply) {
        r.text("error");
    } else if (type == Reply && request_type == GetAutoInc) {
        if (r.flag("no_value", flag) && !flag) r.u32("value", value);
    } else if (type == Reply && request_type == CalcAutoInc) {
        r.u32("value", value);
    } else if (type == Reply && request_type == Lock && lock_mode != -1) {
        if (r.flag("flag", flag) && !flag && lock_mode == 0) r.text("text");
    }
    return r.out;
}

void request(const IMessage& message, int type) {
    pending.type = type;
    pending.lock_mode = 0;
    pending.sent_ms = now_ms();
    line("request", [&] {
        if (type == Lock) pending.lock_mode = lock_mode_of(bytes(message), size(message));
        return std::string(" type=") + type_name(type) + " size=" + std::to_string(size(message)) +
               request_fields(type, bytes(message), size(message));
    });
}

void answer(const IMessage& message) {
    const int type = message.get_type();
    line(type == ErrorReply ? "error-reply" : "reply", [&] {
        return std::string(" type=") + type_name(type) + " size=" + std::to_string(size(message)) +
               answer_fields(pending.type, pending.lock_mode, type, bytes(message), size(message)) +
               " ms=" + std::to_string(now_ms() - pending.sent_ms);
    });
}

}  // namespace quel::trace
