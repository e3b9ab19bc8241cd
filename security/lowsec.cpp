#include <cstdio>

#include "security/lowsec.h"

// Placeholder until standalone diagnostics land: refused, the boot goes on.
int run_standalone_diags()
{
    puts("[placeholder] standalone diagnostics");
    return 0;
}
