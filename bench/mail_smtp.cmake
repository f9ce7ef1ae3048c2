# The benchmark starts the test SMTP servers itself.
target_compile_definitions(${KIVO_BENCH_TARGET} PRIVATE KIVO_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
