// The base64 coder built again without its AVX2 paths, as it runs on
// processors without AVX2: this program carries its own copy, compiled
// from the library's sources, and checks it against the reference (the
// library itself is checked the same way in the round-trip test).
#define KIVO_MIME_NO_AVX2 1
#include "base64.cpp"
#include "result.cpp"

#include "support/base64_reference.h"

TEST(Scalar, Base64AgainstReference) {
    mimetest::check_base64_against_reference({"base64", base64_enc, base64_enc_str},
                                             {"base64_dec", base64_dec, base64_dec_str});
}
