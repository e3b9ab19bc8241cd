// Signature policy and the stored public keys.
#pragma once

int check_system_keys();
