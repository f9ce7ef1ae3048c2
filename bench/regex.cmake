# Peers of the regex benchmark: PCRE2 itself (the raw JIT limit) and POSIX
# regexec from the C library; GLib's GRegex comes with every benchmark.
pkg_check_modules(BENCH_PCRE2 REQUIRED IMPORTED_TARGET libpcre2-8)
target_link_libraries(${KIVO_BENCH_TARGET} PRIVATE PkgConfig::BENCH_PCRE2)
