/* A host linked against the import library (libquel2cln.dll.a) with
 * quel2cln.h, as a C program that does not load the DLL itself: the link
 * succeeds only when the import library carries the stdcall names the
 * header declares, and the loader must then find the plain exports. No
 * server is needed: nothing here connects. */
#include <stdio.h>
#include <string.h>

#include "quel2cln.h"

int main(void) {
    char buffer[4] = "abc";
    int failures = 0;

    if (!qm2_Init("127.0.0.1", 1)) {
        printf("FAIL qm2_Init\n");
        ++failures;
    }
    if (qm2_LastError(buffer, 3) || strcmp(buffer, "abc") != 0) {
        printf("FAIL qm2_LastError reports an error after a successful qm2_Init\n");
        ++failures;
    }
    if (!qm2_Done()) {
        printf("FAIL qm2_Done\n");
        ++failures;
    }
    printf("%d failed\n", failures);
    return failures;
}
