// Arbitrary bytes as a PEM text, decoded into exactly the room the reader asks for.
#include <cstdlib>
#include <vector>

#include "security/crypto/crypto.h"
#include "security/crypto/pem.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> out(size);
    size_t written = 0;
    const int32_t status = pem_decode({data, size}, out, &written);
    if (status > 0 || (status == OK ? written * 4 > size * 3 || written == 0 : written != 0))
        abort();
    return 0;
}
