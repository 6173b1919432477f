/* quel2cln: client library of the Quelmar server.
 *
 * Every function returns a one-byte boolean: true on success. After a false
 * result, qm2_LastError copies the text of the failure. Text buffers come
 * with a length that counts text bytes without the terminator: the library
 * writes at most length + 1 bytes, so pass QM2_TEXT_LENGTH(sizeof buffer).
 * The functions must not be called from two threads at once.
 *
 * When the connection breaks after a request went out, the call connects
 * again and resends it (up to [Connect] Attempts times): the server may then
 * execute a statement twice. Make statements safe to repeat, or set
 * Attempts=1 and handle the broken connection yourself.
 *
 * qm2_Init with another host, port or security setting, and a qm2_Init that
 * fails, close the open connection (and with it what the server ties to it,
 * such as locks). Calls made before any qm2_Init, or after qm2_Done, work
 * with the settings at hand: before the first qm2_Init those are
 * "localhost", port 85 and the defaults. A call has no overall time limit
 * unless [Advanced] CallTimeout is set. */
#ifndef QUEL2CLN_H
#define QUEL2CLN_H

#ifdef __cplusplus
extern "C" {
#else
#include <stdbool.h>
#endif

/* The length to pass for a text buffer of `size` bytes (size >= 1): the
 * library writes at most length + 1 bytes, the last one the terminator. */
#define QM2_TEXT_LENGTH(size) ((unsigned int)(size) - 1u)

#if defined(_WIN32) && !defined(_WIN64)
#define QM2_CALL __stdcall
#else
#define QM2_CALL
#endif

#if defined(QUEL2CLN_BUILD)
#if defined(_WIN32)
#define QM2_API
#else
#define QM2_API __attribute__((visibility("default")))
#endif
#elif defined(_WIN32)
#define QM2_API __declspec(dllimport)
#else
#define QM2_API
#endif

QM2_API bool QM2_CALL qm2_Init(const char* host, int port);
QM2_API bool QM2_CALL qm2_Done(void);
QM2_API bool QM2_CALL qm2_LastError(char* buffer, unsigned int length);
QM2_API bool QM2_CALL qm2_ExecSQL(const char* text1, const char* text2, const char* text3);
QM2_API bool QM2_CALL qm2_GetAutoInc(const char* text1, const char* text2, const char* text3,
                                     bool* no_value, unsigned int* value);
QM2_API bool QM2_CALL qm2_CalcAutoInc(const char* text1, const char* text2, const char* text3,
                                      const char* field_list, unsigned int* value);
QM2_API bool QM2_CALL qm2_SaveResult(const char* text1, const char* text2, const char* text3,
                                     const char* text4, const char* text5);
QM2_API bool QM2_CALL qm2_Lock(const char* text1, const char* text2, int lock_mode,
                               const char* text4, unsigned int number, bool* lock_result,
                               char* reply_text, unsigned int reply_text_len);

/* Function-pointer types for hosts that load the library at run time. */
typedef bool(QM2_CALL* qm2_Init_fn)(const char*, int);
typedef bool(QM2_CALL* qm2_Done_fn)(void);
typedef bool(QM2_CALL* qm2_LastError_fn)(char*, unsigned int);
typedef bool(QM2_CALL* qm2_ExecSQL_fn)(const char*, const char*, const char*);
typedef bool(QM2_CALL* qm2_GetAutoInc_fn)(const char*, const char*, const char*, bool*,
                                          unsigned int*);
typedef bool(QM2_CALL* qm2_CalcAutoInc_fn)(const char*, const char*, const char*, const char*,
                                           unsigned int*);
typedef bool(QM2_CALL* qm2_SaveResult_fn)(const char*, const char*, const char*, const char*,
                                          const char*);
typedef bool(QM2_CALL* qm2_Lock_fn)(const char*, const char*, int, const char*, unsigned int,
                                    bool*, char*, unsigned int);

#ifdef __cplusplus
}
#endif

#endif
