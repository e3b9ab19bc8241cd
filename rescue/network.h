// Management port and downloads.
#pragma once

int setup_management_port(int dhcpAllowed);
