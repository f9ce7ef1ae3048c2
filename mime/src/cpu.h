// Whether the processor runs the AVX2 paths. Checked once; the answer is
// the same for every thread, so a race only repeats the check.
#ifndef KIVO_MIME_CPU_H
#define KIVO_MIME_CPU_H

namespace kivo::mime {

#if defined(__x86_64__) && defined(__GNUC__)
#define KIVO_MIME_X86 1
inline bool have_avx2() {
#if defined(KIVO_MIME_NO_AVX2)
    return false;
#endif
    static int known; // 0 not yet, 1 yes, 2 no
    int k = __atomic_load_n(&known, __ATOMIC_RELAXED);
    if (k == 0) {
        __builtin_cpu_init();
        k = __builtin_cpu_supports("avx2") ? 1 : 2;
        __atomic_store_n(&known, k, __ATOMIC_RELAXED);
    }
    return k == 1;
}
#else
#define KIVO_MIME_X86 0
inline bool have_avx2() { return false; }
#endif

} // namespace kivo::mime

#endif
