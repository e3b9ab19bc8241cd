#include "security/crypto/crypto_init.h"

#include "security/crypto/base64.h"
#include "security/crypto/crypto.h"
#include "security/crypto/sha256.h"

#include <time.h>

namespace {

// The loader never turns strict mode on.
constexpr bool STRICT_MODE_SETTING = false;

uint32_t initCalls = 0;
RandomCtx *globalRandom = nullptr;
bool strictMode = false;
uint64_t startTimeUs = 0;

uint64_t monotonic_us()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

} // namespace

int32_t CRYPTO_initialize()
{
    if (initCalls++ > 0)
        return OK;

    startTimeUs = monotonic_us();
    sha256_select_best_path();

    int32_t status = base64_init_table();
    if (status < 0)
        return status;

    globalRandom = rng_create();
    if (globalRandom == nullptr)
        return ERR_MEM_ALLOC_FAIL;
    status = rng_seed_from_device(globalRandom, "/dev/urandom");
    if (status < 0)
        return status;

    strictMode = STRICT_MODE_SETTING;
    return OK;
}

uint32_t crypto_init_call_count() { return initCalls; }
RandomCtx *crypto_global_random() { return globalRandom; }
bool crypto_strict_mode() { return strictMode; }
uint64_t crypto_start_time_us() { return startTimeUs; }
