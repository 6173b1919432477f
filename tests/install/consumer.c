/* A host built against the installed library: it links libquel2cln through
 * the CMake package or pkg-config and checks a failing call's text. */
#include <stdio.h>
#include <string.h>

#include <quel2cln.h>

int main(void) {
    char text[64];
    /* The port is checked when the first call connects; nothing is sent. */
    if (!qm2_Init("127.0.0.1", 70000) || qm2_ExecSQL("db", "SELECT 1", "consumer")) {
        fputs("qm2_Init failed or qm2_ExecSQL reached port 70000\n", stderr);
        return 1;
    }
    if (!qm2_LastError(text, QM2_TEXT_LENGTH(sizeof text)) || strcmp(text, "invalid port") != 0) {
        fprintf(stderr, "unexpected last error: %s\n", text);
        return 1;
    }
    if (!qm2_Done()) {
        fputs("qm2_Done failed\n", stderr);
        return 1;
    }
    puts("consumer: ok");
    return 0;
}
