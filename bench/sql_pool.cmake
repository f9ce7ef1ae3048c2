# The SQL pool against libzdb's pool and the raw client library.
pkg_check_modules(ZDB REQUIRED IMPORTED_TARGET zdb)
pkg_check_modules(MARIADB_BENCH REQUIRED IMPORTED_TARGET libmariadb)
target_link_libraries(${KIVO_BENCH_TARGET} PRIVATE PkgConfig::ZDB PkgConfig::MARIADB_BENCH)
target_compile_definitions(${KIVO_BENCH_TARGET} PRIVATE
  KIVO_MARIADB_SCRIPT="${PROJECT_SOURCE_DIR}/scripts/services.d/mariadb.sh"
  KIVO_MARIADB_BENCH_STATE="${PROJECT_BINARY_DIR}/mariadb-bench-state")
