// The eight exported functions. Each runs its work inside the call frame of
// ClientContext, so no exception ever reaches the host.
#include "quel2cln.h"

#include <string>

#include "components/trace.h"
#include "exports/client_context.h"
#include "operations/text_buffer.h"

namespace {

quel::ClientContext context;

// A host text: null is taken as empty; bytes are copied unchanged.
std::string text(const char* value) {
    return value ? std::string(value) : std::string();
}

}  // namespace

extern "C" {

QM2_API bool QM2_CALL qm2_Init(const char* host, int port) {
    return context.run_call([&] { context.load_settings(text(host), port); });
}

QM2_API bool QM2_CALL qm2_Done(void) {
    if (quel::trace::on()) quel::trace::write("done", std::string());
    context.clear_last_error();
    context.drop_connection();
    return true;
}

QM2_API bool QM2_CALL qm2_LastError(char* buffer, unsigned int length) {
    if (!context.last_error || !buffer) return false;
    quel::copy_text(*context.last_error, buffer, length);
    return true;
}

QM2_API bool QM2_CALL qm2_ExecSQL(const char* text1, const char* text2, const char* text3) {
    return context.run_call([&] {
        std::string t1 = text(text1), t2 = text(text2), t3 = text(text3);
        context.ensure_connection().exec_sql(t1, t2, t3);
    });
}

QM2_API bool QM2_CALL qm2_GetAutoInc(const char* text1, const char* text2, const char* text3,
                                     bool* no_value, unsigned int* value) {
    return context.run_call([&] {
        std::string t1 = text(text1), t2 = text(text2), t3 = text(text3);
        context.ensure_connection().get_auto_inc(t1, t2, t3, no_value, value);
    });
}

QM2_API bool QM2_CALL qm2_CalcAutoInc(const char* text1, const char* text2, const char* text3,
                                      const char* field_list, unsigned int* value) {
    return context.run_call([&] {
        std::string t1 = text(text1), t2 = text(text2), t3 = text(text3), fields = text(field_list);
        context.ensure_connection().calc_auto_inc(t1, t2, t3, fields, value);
    });
}

QM2_API bool QM2_CALL qm2_SaveResult(const char* text1, const char* text2, const char* text3,
                                     const char* text4, const char* text5) {
    return context.run_call([&] {
        std::string t1 = text(text1), t2 = text(text2), t3 = text(text3), t4 = text(text4),
                    t5 = text(text5);
        context.ensure_connection().save_result(t1, t2, t3, t4, t5);
    });
}

QM2_API bool QM2_CALL qm2_Lock(const char* text1, const char* text2, int lock_mode,
                               const char* text4, unsigned int number, bool* lock_result,
                               char* reply_text, unsigned int reply_text_len) {
    return context.run_call([&] {
        std::string t1 = text(text1), t2 = text(text2), t4 = text(text4);
        context.ensure_connection().lock(t1, t2, lock_mode, t4, number, lock_result, reply_text,
                                         reply_text_len);
    });
}

}  // extern "C"
