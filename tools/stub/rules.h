#pragma once
// The rules file of quelmar-stub: an ordered list of rules, each a match on
// the request and the answer to give. The format is described in
// docs/tools.md.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <re2/re2.h>

#include "request.h"

namespace stub {

// A rules file that cannot be used; the text names the line and the reason.
class rules_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct field_match {
    std::string name;
    std::string exact;  // used when pattern is empty
    // Searched for in the field's match text, in time linear in the text.
    std::shared_ptr<const re2::RE2> pattern;
    std::string pattern_text;

    bool matches(const field& f) const;
    bool matches_text(const std::string& text) const;
};

// Reply fields given by the rule; the rest take the stub's defaults.
struct reply_fields {
    std::optional<bool> no_value;
    std::optional<std::uint32_t> value;
    std::optional<bool> flag;
    std::optional<std::string> text;
};

enum class action { reply, error, raw, close, reset, no_answer };
// What happens to the connection once the answer is sent.
enum class after { keep, close };

const char* action_name(action a);

struct rule {
    std::size_t line = 0;  // where the rule starts in the file
    int type = 0;          // 0: any request type
    std::vector<field_match> match;
    action what = action::reply;
    reply_fields reply;
    std::string bytes;  // action::error: the text; action::raw: the bytes
    int delay_ms = 0;
    std::optional<std::uint64_t> times;  // applies to its first `times` matches only
    after then = after::keep;
    std::uint64_t used = 0;

    bool matches(const request& req) const;
};

// Longest delay a rule may ask for, in milliseconds.
constexpr int max_delay_ms = 3600000;

// Parses the text of a rules file. Throws rules_error "line L: reason".
std::vector<rule> parse_rules(const std::string& text);
// Reads and parses a rules file. Throws rules_error "PATH: line L: reason"
// (or "PATH: reason" when the file cannot be read).
std::vector<rule> load_rules(const std::string& path);

}  // namespace stub
