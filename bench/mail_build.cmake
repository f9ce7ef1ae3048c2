# GMime builds and writes the same message as the peer.
find_package(PkgConfig REQUIRED)
pkg_check_modules(GMIME REQUIRED IMPORTED_TARGET gmime-3.0)
target_link_libraries(${KIVO_BENCH_TARGET} PRIVATE PkgConfig::GMIME)
