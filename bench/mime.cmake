# Peers of the encoder benchmark: OpenSSL's block coder and GMime's
# encoders (the steps its basic filter runs).
pkg_check_modules(MIME_PEERS REQUIRED IMPORTED_TARGET openssl gmime-3.0)
target_link_libraries(${KIVO_BENCH_TARGET} PRIVATE PkgConfig::MIME_PEERS)
