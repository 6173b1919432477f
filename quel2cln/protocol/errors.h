#pragma once
#include <stdexcept>
#include <string>

#include "components/text/serializer.h"

namespace quel {

// The texts of the settings, the call, the exchange and the message frame, in the order of
// the README's table "Errors a host can see" (a test holds them against it).
// The socket and TLS texts are in components/net/net_errors.h; the two the
// serializer raises itself are defined beside it and named here.
inline constexpr char module_path_unknown_text[] = "cannot find the library's own path";
inline constexpr char ini_unreadable_text[] = "cannot read quel2cln.ini";
inline constexpr char ini_not_utf8_text[] = "quel2cln.ini is not utf-8 text";
inline constexpr char ini_bad_path_text[] = "file path in quel2cln.ini depends on the current drive";
inline constexpr char invalid_level_text[] = "invalid security level in quel2cln.ini";
inline constexpr char invalid_field_list_text[] = "invalid field list format";
inline constexpr char invalid_lock_mode_text[] = "invalid lock mode";
inline constexpr char unexpected_message_text[] = "unexpected message";
namespace frame_text {
inline constexpr char no_header[] = "no message header";
inline constexpr char no_magic[] = "no message magic";
inline constexpr char version_mismatch[] = "message version mismatch";
inline constexpr char invalid_type[] = "invalid message type";
inline constexpr auto& too_big = orbl::serializer_text::too_big;
inline constexpr char tail_timeout[] = "message tail timeout exceed";
inline constexpr char wrong_size[] = "wrong data size in message header";
inline constexpr char send_timeout[] = "send message timeout";
inline constexpr auto& truncated = orbl::serializer_text::truncated;
}  // namespace frame_text
// A failure that carried no text of its own.
inline constexpr char unknown_error_text[] = "unknown";

// A fault of the message frame: malformed, incomplete or oversized messages,
// and sends that failed.
class msg_error : public std::runtime_error {
public:
    explicit msg_error(const std::string& text) : std::runtime_error(text) {}
};

// The library's own checks, and the server's refusals in the server's words.
// It holds its text itself, so that the text (an ErrorReply's may be 60 MiB)
// is moved from the reply into the last error rather than copied twice.
class client_error : public std::runtime_error {
public:
    explicit client_error(std::string text) : std::runtime_error(std::string()), text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }
    // The text, for the catcher to take.
    std::string& text() noexcept { return text_; }

private:
    std::string text_;
};

}  // namespace quel
