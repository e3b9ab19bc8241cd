// Physical presence, low-security mode and standalone diagnostics.
#pragma once

int run_standalone_diags();
