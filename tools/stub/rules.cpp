#include "rules.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "../common/text.h"

namespace stub {
namespace {

using json = nlohmann::json;

std::size_t line_of(const std::string& text, std::size_t offset) {
    if (offset > text.size()) offset = text.size();
    return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + offset, '\n'));
}

// An input iterator over the text that counts the lines the JSON reader has
// passed, so the lines of rules, keys and errors are known without scanning
// the text again (which would make loading quadratic).
struct counting_iterator {
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    const char* at;
    const char* begin;
    std::size_t* line;  // line of the character before the last one taken

    reference operator*() const { return *at; }
    // The reader takes one character beyond each token: the line counts the
    // breaks before that character, so a value that ends a line is on it.
    counting_iterator& operator++() {
        if (at != begin && at[-1] == '\n') ++*line;
        ++at;
        return *this;
    }
    counting_iterator operator++(int) {
        counting_iterator old = *this;
        ++*this;
        return old;
    }
    bool operator==(const counting_iterator& o) const { return at == o.at; }
    bool operator!=(const counting_iterator& o) const { return at != o.at; }
};

// Records where each rule and each of its keys ("delay_ms", "match.text1")
// starts. Only positions are kept; the values come from json::parse.
class position_reader : public json::json_sax_t {
public:
    explicit position_reader(const std::size_t& line) : line_(line) {}

    std::vector<std::size_t> rule_lines;
    std::vector<std::map<std::string, std::size_t>> key_lines;

    bool null() override { return value(); }
    bool boolean(bool) override { return value(); }
    bool number_integer(number_integer_t) override { return value(); }
    bool number_unsigned(number_unsigned_t) override { return value(); }
    bool number_float(number_float_t, const string_t&) override { return value(); }
    bool string(string_t&) override { return value(); }
    bool binary(binary_t&) override { return value(); }
    bool start_object(std::size_t) override {
        element();
        stack_.push_back({true, std::string()});
        return true;
    }
    bool key(string_t& name) override {
        stack_.back().key = name;
        const std::size_t depth = stack_.size();
        if (depth == 3 && in_rules()) key_lines.back()[name] = here();
        if (depth == 4 && in_rules()) key_lines.back()[stack_[2].key + "." + name] = here();
        return true;
    }
    bool end_object() override { return pop(); }
    bool start_array(std::size_t) override {
        element();
        stack_.push_back({false, std::string()});
        return true;
    }
    bool end_array() override { return pop(); }
    bool parse_error(std::size_t, const std::string&, const json::exception&) override {
        return false;
    }

private:
    struct level {
        bool object;
        std::string key;
    };
    bool in_rules() const {
        return stack_.size() >= 2 && stack_[0].object && stack_[0].key == "rules" &&
               !stack_[1].object;
    }
    bool in_rules_array() const { return stack_.size() == 2 && in_rules(); }
    bool value() {
        element();
        return true;
    }
    // Every element of the rules array, whatever its kind, so that indexes
    // stay aligned with the parsed list.
    void element() {
        if (in_rules_array()) {
            rule_lines.push_back(here());
            key_lines.emplace_back();
        }
    }
    bool pop() {
        stack_.pop_back();
        return true;
    }
    std::size_t here() const { return line_; }

    const std::size_t& line_;
    std::vector<level> stack_;
};

// The reason part of a parse error of the JSON reader, without its prefix
// and position (the caller reports the line itself).
std::string parse_reason(const json::exception& e) {
    std::string what = e.what();
    const auto column = what.find("column ");
    if (column != std::string::npos) {
        const auto colon = what.find(": ", column);
        if (colon != std::string::npos) return what.substr(colon + 2);
    }
    const auto bracket = what.find("] ");
    return bracket == std::string::npos ? what : what.substr(bracket + 2);
}

// Builds rules from the parsed document, naming the line of each fault.
class rule_builder {
public:
    rule_builder(const position_reader& where) : where_(where) {}

    rule build(const json& j, std::size_t index) {
        index_ = index;
        rule r;
        r.line = where_.rule_lines.at(index);
        if (!j.is_object()) fail("", "a rule must be an object");
        for (const auto& [key, value] : j.items()) {
            if (key != "match" && key != "reply" && key != "error" && key != "fault" &&
                key != "raw" && key != "delay_ms" && key != "times" && key != "then")
                fail(key, "unknown key \"" + key + "\"");
        }
        if (j.contains("match")) read_match(j.at("match"), r);
        read_action(j, r);
        if (j.contains("delay_ms"))
            r.delay_ms = static_cast<int>(integer(j.at("delay_ms"), "delay_ms", 0, max_delay_ms));
        if (j.contains("times"))
            r.times = static_cast<std::uint64_t>(integer(j.at("times"), "times", 1, INT64_MAX));
        if (j.contains("then")) read_then(j.at("then"), r);
        return r;
    }

private:
    [[noreturn]] void fail(const std::string& key, const std::string& reason) const {
        std::size_t line = where_.rule_lines.at(index_);
        const auto& keys = where_.key_lines.at(index_);
        const auto found = keys.find(key);
        if (found != keys.end()) line = found->second;
        throw rules_error("line " + std::to_string(line) + ": rule " +
                          std::to_string(index_ + 1) + ": " + reason);
    }

    std::int64_t integer(const json& v, const std::string& key, std::int64_t lo,
                         std::int64_t hi) const {
        if (!v.is_number_integer())
            fail(key, "\"" + key + "\" must be an integer");
        if (v.is_number_unsigned() && v.get<std::uint64_t>() > static_cast<std::uint64_t>(hi))
            fail(key, "\"" + key + "\" is out of range");
        const std::int64_t n = v.get<std::int64_t>();
        if (n < lo || n > hi) fail(key, "\"" + key + "\" is out of range");
        return n;
    }

    // A text given as a JSON string or as {"hex": "..."} for any bytes.
    std::string bytes(const json& v, const std::string& key) const {
        if (v.is_string()) return v.get<std::string>();
        if (v.is_object() && v.size() == 1 && v.contains("hex") && v.at("hex").is_string()) {
            std::string out;
            if (!tools::from_hex(v.at("hex").get<std::string>(), out))
                fail(key, "\"" + key + "\" holds invalid hex");
            return out;
        }
        fail(key, "\"" + key + "\" must be a string or {\"hex\": \"...\"}");
    }

    void read_match(const json& m, rule& r) {
        if (!m.is_object()) fail("match", "\"match\" must be an object");
        if (m.contains("type")) {
            const json& t = m.at("type");
            r.type = t.is_string() ? type_from_name(t.get<std::string>()) : 0;
            if (r.type == 0)
                fail("match.type",
                     "\"type\" must be one of ExecSQL, GetAutoInc, CalcAutoInc, SaveResult, Lock");
        }
        for (const auto& [name, value] : m.items()) {
            if (name == "type") continue;
            r.match.push_back(read_field_match(name, value, r.type));
        }
    }

    field_match read_field_match(const std::string& name, const json& v, int type) const {
        const std::string key = "match." + name;
        field::kind kind = field::kind::text;
        bool known = false;
        if (type != 0) {
            known = field_kind(type, name, kind);
            if (!known)
                fail(key, "a " + type_name(type) + " request has no field \"" + name +
                              "\" (it has " + field_names(type) + ")");
        } else {
            for (int t = 3; t <= 7 && !known; ++t) known = field_kind(t, name, kind);
            if (!known) fail(key, "no request has a field \"" + name + "\"");
        }
        field_match fm;
        fm.name = name;
        if (v.is_object() && v.size() == 1 && v.contains("regex")) {
            if (!v.at("regex").is_string()) fail(key, "\"regex\" must be a string");
            fm.pattern_text = v.at("regex").get<std::string>();
            fm.pattern = compile(fm.pattern_text);
            if (!fm.pattern->ok())
                fail(key, "invalid regular expression for \"" + name + "\": " + fm.pattern->error());
        } else if (kind == field::kind::integer) {
            if (!v.is_number_integer())
                fail(key, "\"" + name + "\" must be an integer or {\"regex\": \"...\"}");
            // lock_mode is signed and number unsigned, both 32 bits.
            fm.exact = std::to_string(integer(v, key, INT32_MIN, UINT32_MAX));
        } else {
            fm.exact = bytes(v, key);
        }
        return fm;
    }

    // Patterns work on bytes (Latin-1 to the engine), as the fields are raw
    // bytes that need not be UTF-8. Errors go into the rules error, not to
    // standard error.
    static std::shared_ptr<const re2::RE2> compile(const std::string& text) {
        re2::RE2::Options options;
        options.set_encoding(re2::RE2::Options::EncodingLatin1);
        options.set_log_errors(false);
        return std::make_shared<const re2::RE2>(text, options);
    }

    void read_action(const json& j, rule& r) const {
        int given = 0;
        for (const char* k : {"reply", "error", "fault", "raw"}) given += j.contains(k) ? 1 : 0;
        if (given > 1)
            fail("", "a rule takes only one of \"reply\", \"error\", \"fault\" and \"raw\"");
        if (j.contains("error")) {
            r.what = action::error;
            r.bytes = bytes(j.at("error"), "error");
        } else if (j.contains("raw")) {
            r.what = action::raw;
            const json& v = j.at("raw");
            if (!v.is_string() || !tools::from_hex(v.get<std::string>(), r.bytes))
                fail("raw", "\"raw\" must be a string of hex digits");
        } else if (j.contains("fault")) {
            const json& v = j.at("fault");
            const std::string f = v.is_string() ? v.get<std::string>() : std::string();
            if (f == "close") r.what = action::close;
            else if (f == "reset") r.what = action::reset;
            else if (f == "no_answer") r.what = action::no_answer;
            else fail("fault", "\"fault\" must be \"close\", \"reset\" or \"no_answer\"");
        } else if (j.contains("reply")) {
            read_reply(j.at("reply"), r);
        }
    }

    void read_reply(const json& v, rule& r) const {
        if (!v.is_object()) fail("reply", "\"reply\" must be an object");
        for (const auto& [name, value] : v.items()) {
            const std::string key = "reply." + name;
            if (name != "no_value" && name != "value" && name != "flag" && name != "text")
                fail(key, "unknown reply field \"" + name + "\"");
            if (r.type != 0 && !reply_has(r.type, name))
                fail(key, "a " + type_name(r.type) + " reply has no field \"" + name + "\"");
            if (name == "no_value" || name == "flag") {
                if (!value.is_boolean()) fail(key, "\"" + name + "\" must be true or false");
                (name == "flag" ? r.reply.flag : r.reply.no_value) = value.get<bool>();
            } else if (name == "value") {
                r.reply.value = static_cast<std::uint32_t>(integer(value, key, 0, UINT32_MAX));
            } else {
                r.reply.text = bytes(value, key);
            }
        }
    }

    static bool reply_has(int type, const std::string& name) {
        switch (type) {
        case 4: return name == "no_value" || name == "value";
        case 5: return name == "value";
        case 7: return name == "flag" || name == "text";
        default: return false;
        }
    }

    void read_then(const json& v, rule& r) const {
        if (r.what == action::close || r.what == action::reset || r.what == action::no_answer)
            fail("then", "\"then\" goes only with an answer (\"reply\", \"error\" or \"raw\")");
        const std::string t = v.is_string() ? v.get<std::string>() : std::string();
        // Only an orderly close: a reset right behind the answer could
        // destroy the answer in flight.
        if (t == "close") r.then = after::close;
        else fail("then", "\"then\" must be \"close\"");
    }

    const position_reader& where_;
    std::size_t index_ = 0;
};

}  // namespace

const char* action_name(action a) {
    switch (a) {
    case action::reply: return "reply";
    case action::error: return "error";
    case action::raw: return "raw";
    case action::close: return "close";
    case action::reset: return "reset";
    case action::no_answer: return "no_answer";
    }
    return "reply";
}

bool field_match::matches_text(const std::string& text) const {
    if (pattern) return re2::RE2::PartialMatch(text, *pattern);
    return text == exact;
}

bool field_match::matches(const field& f) const {
    // A text is matched in place; only numbers and pairs need a text made.
    if (f.what == field::kind::text) return matches_text(f.text);
    return matches_text(f.match_text());
}

bool rule::matches(const request& req) const {
    if (type != 0 && req.type != type) return false;
    for (const auto& m : match) {
        const field* f = req.find(m.name);
        if (f == nullptr || !m.matches(*f)) return false;
    }
    return true;
}

std::vector<rule> parse_rules(const std::string& text) {
    std::size_t line = 1;
    const counting_iterator first{text.data(), text.data(), &line};
    const counting_iterator last{text.data() + text.size(), text.data(), &line};
    json doc;
    try {
        doc = json::parse(first, last);
    } catch (const json::parse_error& e) {
        const std::size_t at = e.byte == 0 ? 0 : e.byte - 1;
        throw rules_error("line " + std::to_string(line_of(text, at)) + ": " + parse_reason(e));
    } catch (const json::exception& e) {
        // A number too large for a double, for one.
        throw rules_error("line " + std::to_string(line) + ": " + parse_reason(e));
    }
    if (!doc.is_object() || !doc.contains("rules") || !doc.at("rules").is_array())
        throw rules_error("line 1: the file must be an object with a \"rules\" array");
    for (const auto& [key, value] : doc.items()) {
        if (key != "rules") throw rules_error("line 1: unknown key \"" + key + "\"");
    }

    line = 1;
    position_reader where(line);
    json::sax_parse(first, last, &where);

    rule_builder builder(where);
    std::vector<rule> rules;
    const json& list = doc.at("rules");
    rules.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        try {
            rules.push_back(builder.build(list.at(i), i));
        } catch (const json::exception& e) {
            // Every value is checked before use; this is the last guard.
            throw rules_error("line " + std::to_string(where.rule_lines.at(i)) + ": rule " +
                              std::to_string(i + 1) + ": " + parse_reason(e));
        }
    }
    return rules;
}

std::vector<rule> load_rules(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw rules_error(path + ": cannot read the file");
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw rules_error(path + ": cannot read the file");
    try {
        return parse_rules(text.str());
    } catch (const rules_error& e) {
        throw rules_error(path + ": " + e.what());
    }
}

}  // namespace stub
