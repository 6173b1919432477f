/* A Windows host of quel2cln.dll, in plain C, the way an application uses
 * it: LoadLibrary by full path, GetProcAddress for the eight exports through
 * stdcall function-pointer types, then every operation against a server
 * that the Linux side (windows_host_test.cpp) scripts in the same order.
 *
 *   host.exe <path of quel2cln.dll> <server port> <refusing port>
 *
 * The quel2cln.ini beside the DLL sets Attempts=2 and Pause=0. Prints one
 * line per check ("ok ..." or "FAIL ...") and exits with the number of
 * failed checks (100 when the DLL cannot be used at all).
 *
 * Two more modes serve the life-cycle tests (lifetime_test.cpp):
 *   host.exe <dll> <port> exit
 *       one call, then exit with 7 while its connection is still open;
 *   host.exe <dll> <refusing port> libgcc <libgcc_s_dw2-1.dll>
 *       loads the shared libgcc first, as any MinGW-built host has it; a
 *       refused connect must still end in false, "connection refused"
 *       (exit 0), not in std::terminate;
 *   host.exe <dll> <port> cycles <count>
 *       load, Init, one call and unload, <count> times, in a process that
 *       never uses Winsock itself; exits with the number of failed cycles
 *       (at most 100), a load of crypt32.dll, rsaenh.dll or bcrypt.dll
 *       (from anywhere) counting as a failure: the calls need none. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quel2cln.h"

static HMODULE library;
static qm2_Init_fn Init;
static qm2_Done_fn Done;
static qm2_LastError_fn LastError;
static qm2_ExecSQL_fn ExecSQL;
static qm2_GetAutoInc_fn GetAutoInc;
static qm2_CalcAutoInc_fn CalcAutoInc;
static qm2_SaveResult_fn SaveResult;
static qm2_Lock_fn Lock;

static int failures = 0;

/* Loads of crypt32.dll, rsaenh.dll or bcrypt.dll, seen through the loader's
 * notifications (ntdll's LdrRegisterDllNotification). */
typedef struct {
    USHORT length, maximum_length;
    const WCHAR* buffer;
} counted_string;
typedef struct {
    ULONG flags;
    const counted_string *full_name, *base_name;
} loaded_dll;
static volatile LONG unwanted_loads = 0;
static WCHAR unwanted_name[MAX_PATH];

static void CALLBACK on_dll(ULONG reason, const loaded_dll* dll, void* context) {
    static const WCHAR* const unwanted[] = {L"crypt32.dll", L"rsaenh.dll", L"bcrypt.dll"};
    int i;
    (void)context;
    for (i = 0; reason == 1 && i < 3; ++i) {
        if (dll->base_name->length != lstrlenW(unwanted[i]) * 2 ||
            CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, dll->base_name->buffer,
                           dll->base_name->length / 2, unwanted[i], -1) != CSTR_EQUAL)
            continue;
        if (InterlockedIncrement(&unwanted_loads) == 1 && dll->full_name->length / 2 < MAX_PATH)
            memcpy(unwanted_name, dll->full_name->buffer, dll->full_name->length);
    }
}

static int watch_dll_loads(void) {
    typedef LONG(NTAPI * register_fn)(ULONG, void*, void*, void**);
    static void* cookie;
    register_fn watch = (register_fn)(void*)GetProcAddress(GetModuleHandleA("ntdll.dll"),
                                                           "LdrRegisterDllNotification");
    return watch && watch(0, (void*)on_dll, NULL, &cookie) == 0;
}

static void check(int passed, const char* what) {
    printf("%s %s\n", passed ? "ok" : "FAIL", what);
    if (!passed) ++failures;
}

/* The last error text, or "<none>". */
static const char* last_error(void) {
    static char buffer[1024];
    if (!LastError(buffer, QM2_TEXT_LENGTH(sizeof buffer))) return "<none>";
    return buffer;
}

static void check_error(const char* expected, const char* what) {
    const char* actual = last_error();
    int passed = strcmp(actual, expected) == 0;
    check(passed, what);
    if (!passed) printf("     last error \"%s\", expected \"%s\"\n", actual, expected);
}

/* Through void*, as a host that looks names up generically would. */
static void* resolve(HMODULE module, const char* name) {
    void* address = (void*)GetProcAddress(module, name);
    if (!address) printf("FAIL missing export %s\n", name);
    return address;
}

static int load(const char* path) {
    HMODULE module = LoadLibraryA(path);
    if (!module) {
        printf("FAIL LoadLibrary(%s): error %lu\n", path, (unsigned long)GetLastError());
        return 0;
    }
    library = module;
    Init = (qm2_Init_fn)resolve(module, "qm2_Init");
    Done = (qm2_Done_fn)resolve(module, "qm2_Done");
    LastError = (qm2_LastError_fn)resolve(module, "qm2_LastError");
    ExecSQL = (qm2_ExecSQL_fn)resolve(module, "qm2_ExecSQL");
    GetAutoInc = (qm2_GetAutoInc_fn)resolve(module, "qm2_GetAutoInc");
    CalcAutoInc = (qm2_CalcAutoInc_fn)resolve(module, "qm2_CalcAutoInc");
    SaveResult = (qm2_SaveResult_fn)resolve(module, "qm2_SaveResult");
    Lock = (qm2_Lock_fn)resolve(module, "qm2_Lock");
    return Init && Done && LastError && ExecSQL && GetAutoInc && CalcAutoInc && SaveResult && Lock;
}

static void operations(void) {
    bool no_value = true;
    unsigned int value = 0;
    bool result = false;
    char text[8];

    check(ExecSQL("select 1", "", NULL), "ExecSQL answered by Reply");
    check(GetAutoInc("t1", "t2", "t3", &no_value, &value) && !no_value && value == 42,
          "GetAutoInc returns the number 42");
    value = 99;
    check(GetAutoInc("t1", "t2", "t3", &no_value, &value) && no_value && value == 0,
          "GetAutoInc without a value reports 0");
    check(CalcAutoInc("t1", "t2", "t3", "f1:a,f2:b", &value) && value == 7,
          "CalcAutoInc returns the number 7");
    check(!CalcAutoInc("t1", "t2", "t3", "f1", &value), "CalcAutoInc refuses a bad field list");
    check_error("invalid field list format", "  with the field list error");
    check(SaveResult("1", "2", "3", "4", "5"), "SaveResult answered by Reply");

    /* The lock text is cut to reply_text_len bytes and a NUL; the byte
     * after those stays as it was. */
    memset(text, 'x', sizeof text);
    check(Lock("a", "b", 0, "d", 9, &result, text, 5) && !result,
          "Lock mode 0 reports the lock as refused");
    check(memcmp(text, "locke\0x", 7) == 0, "  with the reply text cut to 5 bytes");
    result = false;
    check(Lock("a", "b", 1, "d", 9, &result, NULL, 0) && result, "Lock mode 1 reports the flag");
    result = false;
    check(Lock("a", "b", -1, NULL, 0, &result, NULL, 0) && result, "Lock mode -1 reports true");
    check(!Lock("a", "b", 2, "d", 9, &result, text, 5), "Lock refuses mode 2");
    check_error("invalid lock mode", "  with the lock mode error");
}

static void error_texts(void) {
    char buffer[8];

    check(!ExecSQL("select nothing", "", ""), "ExecSQL refused by ErrorReply");
    check_error("no such table", "  with the server's text");
    /* qm2_LastError writes at most length + 1 bytes. */
    memset(buffer, 'x', sizeof buffer);
    check(LastError(buffer, 3) && memcmp(buffer, "no \0x", 5) == 0,
          "LastError with length 3 writes 3 bytes and a NUL");
    memset(buffer, 'x', sizeof buffer);
    check(LastError(buffer, 0) && buffer[0] == '\0' && buffer[1] == 'x',
          "LastError with length 0 writes one NUL");
    check(!LastError(NULL, 3), "LastError with a null buffer returns false");
}

static void broken_connections(void) {
    /* The server resets the connection on the first request: the call
     * connects again and sends the request once more. */
    check(ExecSQL("after reset", "", ""), "ExecSQL succeeds on the retry after a reset");
    /* The server closes the connection on every request: with Attempts=2
     * from quel2cln.ini the call makes three tries. */
    check(!ExecSQL("closed", "", ""), "ExecSQL fails when every try is closed");
    check_error("(0) connection closed by peer", "  with the closed-by-peer text");
    check(Done(), "Done returns true");
    check(strcmp(last_error(), "<none>") == 0, "Done clears the last error");
    check(Done(), "Done returns true a second time");
    check(ExecSQL("after done", "", ""), "ExecSQL connects again after Done");
}

static void connecting(int port, int refusing_port) {
    check(Init("localhost", port), "Init with the name localhost");
    check(Done(), "Done before connecting by name");
    check(ExecSQL("by name", "", ""), "ExecSQL over a connection to localhost");

    check(Init("127.0.0.1", refusing_port), "Init with a refusing port");
    check(!ExecSQL("refused", "", ""), "Init with a new target drops the open connection");
    check_error("connection refused", "  with the refused text");

    check(Init("no-such-host.invalid", port), "Init with a name that does not resolve");
    check(!ExecSQL("unresolved", "", ""), "ExecSQL fails when the name does not resolve");
    {
        const char* text = last_error();
        int passed = strcmp(text, "(11001) host not found") == 0 ||
                     strcmp(text, "(11002) temporary failure in name resolution") == 0;
        check(passed, "  with the resolution error");
        if (!passed) printf("     last error \"%s\"\n", text);
    }
    check(Done(), "Done at the end");
}

static int life_cycle_mode(int argc, char** argv) {
    int port = atoi(argv[2]);
    if (strcmp(argv[3], "libgcc") == 0) {
        /* Its winpthread DLL lies beside it. */
        if (argc != 5 || !LoadLibraryExA(argv[4], NULL, LOAD_WITH_ALTERED_SEARCH_PATH)) return 101;
        if (!load(argv[1])) return 100;
        check(Init("127.0.0.1", port), "Init");
        check(!ExecSQL("refused", "", ""), "ExecSQL against a refusing port fails");
        check_error("connection refused", "  with the refused text");
        return failures;
    }
    if (strcmp(argv[3], "cycles") == 0) {
        int count = argc == 5 ? atoi(argv[4]) : 0;
        int i;
        if (!watch_dll_loads()) return 102;
        for (i = 0; i < count && failures < 100; ++i) {
            if (!load(argv[1])) return 100;
            if (!Init("127.0.0.1", port) || !ExecSQL("select 1", "", "")) {
                if (failures++ == 0) printf("FAIL cycle %d: %s\n", i, last_error());
            }
            FreeLibrary(library);
        }
        if (unwanted_loads > 0) {
            printf("FAIL %ld loads of system DLLs the calls need not, first %ls\n",
                   (long)unwanted_loads, unwanted_name);
            failures += unwanted_loads > 100 ? 100 : (int)unwanted_loads;
        }
        return failures > 100 ? 100 : failures;
    }
    if (!load(argv[1]) || !Init("127.0.0.1", port) || !ExecSQL("select 1", "", "")) return 100;
    return 7;
}

int main(int argc, char** argv) {
    int port;
    int refusing_port;
    char untouched[4] = "abc";

    if (argc >= 4 && (strcmp(argv[3], "exit") == 0 || strcmp(argv[3], "libgcc") == 0 ||
                      strcmp(argv[3], "cycles") == 0)) {
        setvbuf(stdout, NULL, _IONBF, 0);
        return life_cycle_mode(argc, argv);
    }
    if (argc != 4) {
        fprintf(stderr, "usage: host.exe <quel2cln.dll> <port> <refusing port>\n");
        return 100;
    }
    port = atoi(argv[2]);
    refusing_port = atoi(argv[3]);
    setvbuf(stdout, NULL, _IONBF, 0);

    if (!load(argv[1])) return 100;
    check(sizeof(bool) == 1, "bool is one byte");
    check(!LastError(untouched, 3) && strcmp(untouched, "abc") == 0, "no last error after loading");
    check(Init("127.0.0.1", port), "Init does not connect");
    operations();
    error_texts();
    broken_connections();
    connecting(port, refusing_port);
    printf("%d failed\n", failures);
    return failures;
}
