// Process-wide state set up by CRYPTO_initialize.
#pragma once

#include "security/crypto/random.h"

#include <cstdint>

// How many times CRYPTO_initialize has been called.
uint32_t crypto_init_call_count();
// Null until the first CRYPTO_initialize has created it.
RandomCtx *crypto_global_random();
// With strict mode on, minimum RSA key sizes and weak-digest bans would apply.
bool crypto_strict_mode();
// Monotonic time, in microseconds, at which the services started.
uint64_t crypto_start_time_us();
