# ctemplate, the comparison of the template benchmark.
find_package(PkgConfig REQUIRED)
pkg_check_modules(CTEMPLATE REQUIRED IMPORTED_TARGET libctemplate)
target_link_libraries(${KIVO_BENCH_TARGET} PRIVATE PkgConfig::CTEMPLATE)
