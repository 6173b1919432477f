/* A host built as Visual C++ builds one (clang in MSVC mode, lld-link) and
 * linked against quel2cln.lib alone, without a C runtime: the stdcall
 * names, the one-byte results and the texts must all come through the
 * import library. Argument: the port of a server that answers with
 * success. Exit status 0 when every check holds. */
#include <quel2cln.h>

__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) const char* __stdcall GetCommandLineA(void);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

static void say(const char* text) {
    unsigned long n = 0, written = 0;
    while (text[n] != 0) ++n;
    WriteFile(GetStdHandle((unsigned long)-11), text, n, &written, 0);
}

static int same(const char* a, const char* b) {
    while (*a != 0 && *a == *b) ++a, ++b;
    return *a == *b;
}

void host_main(void) {
    const char* line = GetCommandLineA();
    const char* last = line;
    int port = 0;
    char text[64];
    text[0] = 0;
    for (; *line != 0; ++line)
        if (*line == ' ') last = line + 1;
    for (; *last >= '0' && *last <= '9'; ++last) port = port * 10 + (*last - '0');

    if (!qm2_Init("127.0.0.1", port) || !qm2_ExecSQL("db", "SELECT 1", "msvc")) {
        say("msvc host: qm2_Init or qm2_ExecSQL failed\n");
        ExitProcess(1);
    }
    /* A failure and its text: the port is checked when the call connects. */
    if (!qm2_Done() || !qm2_Init("127.0.0.1", 70000)) {
        say("msvc host: qm2_Init failed for port 70000\n");
        ExitProcess(1);
    }
    if (qm2_ExecSQL("db", "SELECT 1", "msvc")) {
        say("msvc host: qm2_ExecSQL reached port 70000\n");
        ExitProcess(1);
    }
    if (!qm2_LastError(text, sizeof text - 1) || !same(text, "invalid port")) {
        say("msvc host: the last error is not \"invalid port\": ");
        say(text);
        say("\n");
        ExitProcess(1);
    }
    if (!qm2_Done()) {
        say("msvc host: qm2_Done failed\n");
        ExitProcess(1);
    }
    say("msvc host: ok\n");
    ExitProcess(0);
}
