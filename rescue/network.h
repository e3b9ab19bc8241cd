// Management port configuration, MAC address and TFTP download.
#pragma once

int setup_management_port(int dhcpAllowed);
int tftp_rescue();
int set_mac_address();
