#pragma once
// One way to hold a secret (a key password, a private key's text, the
// settings file that may name them): strings whose heap blocks are
// overwritten before they are released, on every reallocation and at the
// end. Containers that hold such strings by value (a map's nodes) use the
// same allocator, so a short text kept inside the string object itself is
// overwritten with the node.

#include <cstddef>
#include <new>
#include <string>

namespace orbl {

// Overwrites `size` bytes in a way the compiler may not drop as dead stores.
inline void wipe_bytes(void* data, std::size_t size) noexcept {
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = 0;
}

template <typename T>
struct wiping_allocator {
    using value_type = T;

    wiping_allocator() noexcept = default;
    template <typename U>
    wiping_allocator(const wiping_allocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(::operator new(count * sizeof(T)));
    }
    void deallocate(T* block, std::size_t count) noexcept {
        wipe_bytes(block, count * sizeof(T));
        ::operator delete(block);
    }

    template <typename U>
    bool operator==(const wiping_allocator<U>&) const noexcept { return true; }
    template <typename U>
    bool operator!=(const wiping_allocator<U>&) const noexcept { return false; }
};

using secret_string = std::basic_string<char, std::char_traits<char>, wiping_allocator<char>>;
using secret_wstring = std::basic_string<wchar_t, std::char_traits<wchar_t>, wiping_allocator<wchar_t>>;

// Overwrites the whole storage of `text` (also a short text kept inside the
// object) and empties it; for strings on the stack or in static storage.
template <typename Text>
void wipe(Text& text) noexcept {
    wipe_bytes(&text[0], (text.capacity() + 1) * sizeof text[0]);
    text.clear();
}

// Holds a secret made on the spot (a file's text, a password in UTF-8) and
// overwrites it when it goes, also a short one kept inside the string.
struct scoped_secret {
    secret_string bytes;
    ~scoped_secret() { wipe(bytes); }
};

}  // namespace orbl
