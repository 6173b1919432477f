// The key password and the private key's text never stay behind in freed
// heap memory: every block released while the settings are loaded and a
// TLS context is made from them is searched for those bytes before it goes
// back to the allocator.
#include <malloc.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <string>

#include "components/net/net.h"
#include "components/net/socket.h"
#include "components/tls/tls.h"
#include "connection/settings.h"
#include "support/platform.h"
#include "tls/support/test_pki.h"
#include "support/net_connect.h"

#if defined(__SANITIZE_ADDRESS__)
#define QUEL2CLN_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUEL2CLN_ASAN 1
#endif
#endif

#ifdef QUEL2CLN_ASAN
// The sanitizer runtime's allocator hooks (not every compiler ships their
// header).
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, std::size_t),
                                              void (*)(const volatile void*));
int __sanitizer_get_ownership(const volatile void*);
std::size_t __sanitizer_get_allocated_size(const volatile void*);
}
#endif

namespace {

// What to look for, in static storage: the search itself must not allocate.
struct needle {
    unsigned char bytes[512];
    std::size_t size;
};
needle needles[3];
std::size_t needle_count = 0;
std::atomic<bool> armed{false};
std::atomic<int> found{0};

void add_needle(const void* data, std::size_t size) {
    ASSERT_LE(size, sizeof needles[0].bytes);
    std::memcpy(needles[needle_count].bytes, data, size);
    needles[needle_count++].size = size;
}

void search_freed(const void* block, std::size_t size) {
    if (!block || !armed.load(std::memory_order_relaxed)) return;
    const auto* begin = static_cast<const unsigned char*>(block);
    for (std::size_t n = 0; n < needle_count; ++n) {
        const needle& wanted = needles[n];
        if (std::search(begin, begin + size, wanted.bytes, wanted.bytes + wanted.size) != begin + size)
            found.fetch_add(1);
    }
}

}  // namespace

#ifdef QUEL2CLN_ASAN
namespace {
void on_free(const volatile void* block) {
    const void* plain = const_cast<const void*>(block);
    if (armed.load(std::memory_order_relaxed) && __sanitizer_get_ownership(plain))
        search_freed(plain, __sanitizer_get_allocated_size(plain));
}
void on_malloc(const volatile void*, std::size_t) {}
// Both hooks must be given, or the runtime installs neither.
const int installed = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
}  // namespace
#else
// glibc lets a program replace free and realloc; operator delete and
// OpenSSL's frees come through here. realloc is done as allocate, copy and
// free, so a block it gives up is searched too.
extern "C" {
void __libc_free(void*);
void* __libc_malloc(std::size_t);

void free(void* block) {
    if (block) search_freed(block, malloc_usable_size(block));
    __libc_free(block);
}

void* realloc(void* block, std::size_t size) {
    if (!block) return __libc_malloc(size);
    if (size == 0) {
        free(block);
        return nullptr;
    }
    void* moved = __libc_malloc(size);
    if (!moved) return nullptr;
    std::memcpy(moved, block, std::min(size, malloc_usable_size(block)));
    free(block);
    return moved;
}
}
#endif

namespace {

namespace tp = test_platform;

std::wstring wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// Loads the settings and makes a TLS channel from them; the server never
// answers, so the handshake ends by its limit after the context (CA,
// certificate and key) was loaded.
void load_and_connect(const std::string& dir) {
    quel::Settings settings;
    quel::load_settings(settings, "localhost", 1, wide(tp::join_path(dir, "libquel2cln.so")));
    int port = 0;
    tp::sock listener = tp::listen_loopback(port);
    ASSERT_NE(listener, tp::no_sock);
    orbl::inet_address address = orbl::get_host_by_addr(L"127.0.0.1");
    orbl::net::handle socket = qtest::connect_to(address.addresses[0], port, 1000);
    try {
        orbl::make_tls_channel(socket, L"localhost", 1, 100);
        ADD_FAILURE() << "handshake with a silent server succeeded";
    } catch (const orbl::socket_error& error) {
        EXPECT_EQ(error.code(), orbl::socket_code::timed_out) << error.what();
    }
    tp::close_socket(listener);
    orbl::set_socket_security_params({});
}

std::string second_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    std::getline(in, line);
    return line;
}

TEST(SecretMemory, NoFreedBlockHoldsThePasswordOrTheKey) {
#ifdef QUEL2CLN_ASAN
    ASSERT_NE(installed, 0) << "the free hook could not be installed";
#endif
    std::string dir = tp::make_temp_dir();
    ASSERT_FALSE(dir.empty());
    qtest::TestPki pki(dir);
    ASSERT_TRUE(pki.ok()) << pki.error();
    const std::string password = qtest::TestPki::key_password;
    const std::wstring wide_password = wide(password);
    const std::string key_line = second_line(pki.path("client_plain.key"));
    ASSERT_GT(key_line.size(), 40u);
    add_needle(password.data(), password.size());
    add_needle(wide_password.data(), wide_password.size() * sizeof(wchar_t));
    add_needle(key_line.data(), key_line.size());

    const std::string encrypted = "[Security]\nLevel=1\nCAFile=ca.pem\nCertFile=client.pem\n"
                                  "KeyFile=client.key\nKeyPswd=" + password + "\n";
    const std::string plain = "[Security]\nLevel=1\nCAFile=ca.pem\nCertFile=client.pem\n"
                              "KeyFile=client_plain.key\n";
    for (const std::string* ini : {&encrypted, &plain}) {
        ASSERT_TRUE(tp::write_file(tp::join_path(dir, "quel2cln.ini"), *ini));
        found = 0;
        armed = true;
        load_and_connect(dir);
        armed = false;
        EXPECT_EQ(found.load(), 0) << *ini;
    }
    tp::remove_tree(dir);
}

}  // namespace
