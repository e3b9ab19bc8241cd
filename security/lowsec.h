// Physical presence, low-security mode and standalone diagnostics.
#pragma once

int is_low_security_mode();
int set_low_security_mode(int on);
int run_standalone_diags();
int physical_presence_test();
int wipe_system_keys();
