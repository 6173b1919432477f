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

static void expect(int holds, const char* what) {
    if (holds) return;
    say("msvc host: ");
    say(what);
    say("\n");
    ExitProcess(1);
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

    expect(qm2_Init("127.0.0.1", port) && qm2_ExecSQL("db", "SELECT 1", "msvc"),
           "qm2_Init or qm2_ExecSQL failed");
    /* A failure and its text: the port is checked when the call connects. */
    expect(qm2_Done() && qm2_Init("127.0.0.1", 70000), "qm2_Done or qm2_Init failed");
    expect(!qm2_ExecSQL("db", "SELECT 1", "msvc"), "qm2_ExecSQL reached port 70000");
    expect(qm2_LastError(text, sizeof text - 1) && same(text, "invalid port"),
           "the last error is not \"invalid port\"");
    expect(qm2_Done(), "qm2_Done failed");
    say("msvc host: ok\n");
    ExitProcess(0);
}
