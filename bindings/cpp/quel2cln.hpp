// quel2cln for C++: a header-only wrapper over quel2cln.h.
//
// - Every call holds one process-wide mutex, so that threads that use the
//   library through this header take turns, as the library requires. (Code
//   that calls the C functions directly bypasses it.) A failed call reads
//   its last error before it lets go of the mutex, so the text is its own.
// - A result false becomes a quel2cln::error carrying the last error.
// - Texts are std::string bytes, passed unchanged: the library converts
//   nothing. Encode them as the server expects (see docs/protocol.md).
// - Text buffers are sized by the library's rule: a length n means up to
//   n + 1 bytes written.
#ifndef QUEL2CLN_HPP
#define QUEL2CLN_HPP

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "quel2cln.h"

// The length to pass with a text buffer of `size` bytes.
#ifndef QM2_TEXT_LENGTH
#define QM2_TEXT_LENGTH(size) ((unsigned int)(size) - 1u)
#endif

namespace quel2cln {

// A call that the library answered with false; what() is its last error.
class error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct auto_inc {
    bool no_value = true;
    unsigned int value = 0;  // 0 when no_value
};

struct lock_answer {
    bool result = false;
    std::string text;  // mode 0, when result is false: the server's reason
};

class client {
public:
    // The largest reason text of a refused lock that lock() returns.
    static constexpr unsigned int max_lock_text = 4096;

    // qm2_Init. An empty host means "localhost", a port below 1 means 85.
    client(const std::string& host, int port) {
        std::lock_guard<std::mutex> hold(mutex());
        check(qm2_Init(host.c_str(), port));
    }
    // qm2_Done: closes the connection.
    ~client() {
        std::lock_guard<std::mutex> hold(mutex());
        qm2_Done();
    }
    client(const client&) = delete;
    client& operator=(const client&) = delete;

    void exec_sql(const std::string& text1, const std::string& text2, const std::string& text3) {
        std::lock_guard<std::mutex> hold(mutex());
        check(qm2_ExecSQL(text1.c_str(), text2.c_str(), text3.c_str()));
    }

    auto_inc get_auto_inc(const std::string& text1, const std::string& text2,
                          const std::string& text3) {
        std::lock_guard<std::mutex> hold(mutex());
        auto_inc out;
        check(qm2_GetAutoInc(text1.c_str(), text2.c_str(), text3.c_str(), &out.no_value, &out.value));
        return out;
    }

    // `field_list` like "id: 1, code: 2".
    unsigned int calc_auto_inc(const std::string& text1, const std::string& text2,
                               const std::string& text3, const std::string& field_list) {
        std::lock_guard<std::mutex> hold(mutex());
        unsigned int value = 0;
        check(qm2_CalcAutoInc(text1.c_str(), text2.c_str(), text3.c_str(), field_list.c_str(), &value));
        return value;
    }

    void save_result(const std::string& text1, const std::string& text2, const std::string& text3,
                     const std::string& text4, const std::string& text5) {
        std::lock_guard<std::mutex> hold(mutex());
        check(qm2_SaveResult(text1.c_str(), text2.c_str(), text3.c_str(), text4.c_str(), text5.c_str()));
    }

    // `mode` -1 releases, 0 takes, 1 checks; another mode throws "invalid
    // lock mode". The reason text is cut to `max_text` bytes.
    lock_answer lock(const std::string& text1, const std::string& text2, int mode,
                     const std::string& text4, unsigned int number,
                     unsigned int max_text = max_lock_text) {
        std::lock_guard<std::mutex> hold(mutex());
        std::vector<char> buffer(static_cast<std::size_t>(max_text) + 1, '\0');
        lock_answer out;
        check(qm2_Lock(text1.c_str(), text2.c_str(), mode, text4.c_str(), number, &out.result,
                       buffer.data(), QM2_TEXT_LENGTH(buffer.size())));
        out.text = buffer.data();
        return out;
    }

    // The last error, cut to `max_text` bytes; empty when none is recorded.
    static std::string last_error(unsigned int max_text = 4096) {
        std::lock_guard<std::mutex> hold(mutex());
        return read_last_error(max_text);
    }

private:
    static std::mutex& mutex() {
        static std::mutex the_mutex;
        return the_mutex;
    }

    static std::string read_last_error(unsigned int max_text) {
        std::vector<char> buffer(static_cast<std::size_t>(max_text) + 1, '\0');
        if (!qm2_LastError(buffer.data(), QM2_TEXT_LENGTH(buffer.size()))) return std::string();
        return buffer.data();
    }

    // Called with the mutex held.
    static void check(bool ok) {
        if (!ok) throw error(read_last_error(4096));
    }
};

}  // namespace quel2cln

#endif
