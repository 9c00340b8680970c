#include "vector_unit.h"

namespace support::internal
{

#if defined(__x86_64__) && !defined(PORTABLE_BUILD)

vector_unit best_vector_unit()
{
    __builtin_cpu_init();
    // Every use of AVX2 here also takes the bit counts of BMI1 and BMI2.
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                      __builtin_cpu_supports("bmi2");
    return avx2 ? vector_unit::avx2 : vector_unit::sse2;
}

#else

vector_unit best_vector_unit()
{
    return vector_unit::none;
}

#endif

} // namespace support::internal
