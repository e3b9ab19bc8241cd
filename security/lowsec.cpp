#include "security/lowsec.h"

// Placeholder until standalone diagnostics land: refused, the boot goes on.
int run_standalone_diags() { return 0; }
