/* A C host of quel2cln: the whole sequence of calls, printed line by line.
 *
 *   example HOST PORT
 *
 * Build against quel2cln.h and the library (Linux: -lquel2cln; Windows:
 * the import library of quel2cln.dll, or quel2cln.dll itself). Exits with 0
 * when every call went as the lines say, 1 otherwise. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quel2cln.h"

/* The length to pass with a text buffer of `size` bytes: the library writes
 * up to length + 1 bytes, the text and its terminator. */
#ifndef QM2_TEXT_LENGTH
#define QM2_TEXT_LENGTH(size) ((unsigned int)(size) - 1u)
#endif

static int failed = 0;

/* Prints "what: ok", or the last error and marks the run failed. */
static void report(const char* what, bool ok) {
    char error[512];
    if (ok) {
        printf("%s: ok\n", what);
        return;
    }
    if (!qm2_LastError(error, QM2_TEXT_LENGTH(sizeof error))) strcpy(error, "(no error recorded)");
    printf("%s: failed: %s\n", what, error);
    failed = 1;
}

static const char* yes_no(bool value) { return value ? "true" : "false"; }

int main(int argc, char** argv) {
    /* The statement as Windows-1252 bytes: u-umlaut, sharp s, euro sign. */
    static const char statement[] = "SELECT 'Gr\xfc\xdf" "e \x80'";
    bool no_value = true, lock_result = false;
    unsigned int value = 0;
    char error[512];
    char text[256];
    char cut[11];
    char small[7];

    if (argc != 3) {
        fprintf(stderr, "usage: %s HOST PORT\n", argv[0]);
        return 2;
    }
    report("init", qm2_Init(argv[1], atoi(argv[2])));
    report("exec", qm2_ExecSQL("shop", statement, "bindings"));

    if (qm2_GetAutoInc("shop", "orders", "id", &no_value, &value))
        printf("get-auto-inc: no_value=%s value=%u\n", yes_no(no_value), value);
    else
        report("get-auto-inc", false);
    if (qm2_CalcAutoInc("shop", "orders", "id", "year: 2026, branch: 7", &value))
        printf("calc-auto-inc: value=%u\n", value);
    else
        report("calc-auto-inc", false);
    report("save-result", qm2_SaveResult("shop", "nightly", "done", "3 rows", "bindings"));

    if (qm2_ExecSQL("shop", "DROP TABLE orders", "bindings")) {
        printf("refused: not refused\n");
        failed = 1;
    } else {
        qm2_LastError(error, QM2_TEXT_LENGTH(sizeof error));
        printf("refused: %s\n", error);
        /* A buffer of 11 bytes holds 10 text bytes and the terminator. */
        qm2_LastError(cut, QM2_TEXT_LENGTH(sizeof cut));
        printf("last error in 10 bytes: %s\n", cut);
    }

    if (qm2_Lock("shop", "invoice-1001", -1, "bindings", 7, &lock_result, NULL, 0))
        printf("lock -1: lock_result=%s\n", yes_no(lock_result));
    else
        report("lock -1", false);
    lock_result = true;
    text[0] = '\0';
    if (qm2_Lock("shop", "invoice-1001", 0, "bindings", 7, &lock_result, text,
                 QM2_TEXT_LENGTH(sizeof text)))
        printf("lock 0: lock_result=%s text=%s\n", yes_no(lock_result), text);
    else
        report("lock 0", false);
    if (qm2_Lock("shop", "invoice-1001", 0, "bindings", 7, &lock_result, small,
                 QM2_TEXT_LENGTH(sizeof small)))
        printf("lock 0 text in 6 bytes: %s\n", small);
    else
        report("lock 0 text in 6 bytes", false);
    lock_result = false;
    if (qm2_Lock("shop", "invoice-1001", 1, "bindings", 7, &lock_result, NULL, 0))
        printf("lock 1: lock_result=%s\n", yes_no(lock_result));
    else
        report("lock 1", false);
    if (qm2_Lock("shop", "invoice-1001", 2, "bindings", 7, &lock_result, NULL, 0)) {
        printf("lock 2: not refused\n");
        failed = 1;
    } else {
        qm2_LastError(error, QM2_TEXT_LENGTH(sizeof error));
        printf("lock 2: %s\n", error);
    }

    report("done", qm2_Done());
    return failed;
}
