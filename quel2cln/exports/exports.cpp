// The eight exported functions. Each runs its work inside the call frame of
// ClientContext, so no exception ever reaches the host.
#include "quel2cln.h"

#include <string>
#include <string_view>

#include "components/trace/trace.h"
#include "exports/client_context.h"
#include "operations/text_buffer.h"

namespace {

quel::ClientContext context;

// A host text, read in place (never copied whole): null is taken as empty.
std::string_view text(const char* value) {
    return value ? std::string_view(value) : std::string_view();
}

}  // namespace

extern "C" {

QM2_API bool QM2_CALL qm2_Init(const char* host, int port) {
    return context.run_call([&] { context.load_settings(std::string(text(host)), port); });
}

QM2_API bool QM2_CALL qm2_Done(void) {
    quel::trace::line("done", [] { return std::string(); });
    context.clear_last_error();
    context.drop_connection();
    // Done before an unload gives the socket layer back here, outside the
    // loader lock, rather than in the entry point.
    orbl::socket_finalize();
    return true;
}

QM2_API bool QM2_CALL qm2_LastError(char* buffer, unsigned int length) {
    if (!context.last_error || !buffer) return false;
    quel::copy_text(*context.last_error, buffer, length);
    return true;
}

QM2_API bool QM2_CALL qm2_ExecSQL(const char* text1, const char* text2, const char* text3) {
    return context.run_call([&] {
        context.ensure_connection().exec_sql(text(text1), text(text2), text(text3));
    });
}

QM2_API bool QM2_CALL qm2_GetAutoInc(const char* text1, const char* text2, const char* text3,
                                     bool* no_value, unsigned int* value) {
    return context.run_call([&] {
        context.ensure_connection().get_auto_inc(text(text1), text(text2), text(text3), no_value,
                                                 value);
    });
}

QM2_API bool QM2_CALL qm2_CalcAutoInc(const char* text1, const char* text2, const char* text3,
                                      const char* field_list, unsigned int* value) {
    return context.run_call([&] {
        context.ensure_connection().calc_auto_inc(text(text1), text(text2), text(text3),
                                                  text(field_list), value);
    });
}

QM2_API bool QM2_CALL qm2_SaveResult(const char* text1, const char* text2, const char* text3,
                                     const char* text4, const char* text5) {
    return context.run_call([&] {
        context.ensure_connection().save_result(text(text1), text(text2), text(text3), text(text4),
                                                text(text5));
    });
}

QM2_API bool QM2_CALL qm2_Lock(const char* text1, const char* text2, int lock_mode,
                               const char* text4, unsigned int number, bool* lock_result,
                               char* reply_text, unsigned int reply_text_len) {
    return context.run_call([&] {
        context.ensure_connection().lock(text(text1), text(text2), lock_mode, text(text4), number,
                                         lock_result, reply_text, reply_text_len);
    });
}

}  // extern "C"
