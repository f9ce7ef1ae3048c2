/*
 * fr_hash_func_jenkins: the table's default hash. No frame exception
 * crosses this file.
 */
#include <kivo/hash.h>
#include "jenkins.h"

extern "C" KIVO_API uint32_t fr_hash_func_jenkins(const void *key, uint32_t key_len) {
    return kivo::jenkins(key, key_len);
}
