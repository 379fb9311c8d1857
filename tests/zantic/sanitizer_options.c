/* Defaults for AddressSanitizer in these test programs; an ASAN_OPTIONS setting still wins.
 * The programs dlopen libtty.so, whose thread-local storage is then dynamic; the runtime of
 * GCC 12 can misread such blocks at the leak check at exit and crash its tracer. Turning
 * its TLS interception off keeps the leak check working. Without the sanitizer this
 * function is never called. */
__attribute__((visibility("default"), used)) const char *__asan_default_options(void)
{
    return "intercept_tls_get_addr=0";
}
