// On POSIX the library needs no entry point of its own: the module path is
// found with dladdr when it is needed, and the socket layer needs no start-up.
