#include "rescue/network.h"

#include <cstdio>

// Placeholders until network configuration lands: the port is not configured.
int setup_management_port(int /*dhcpAllowed*/)
{
    puts("[placeholder] management port");
    return 0;
}

int tftp_rescue()
{
    puts("[placeholder] tftp download");
    return 0;
}

int set_mac_address()
{
    puts("[placeholder] MAC address");
    return 0;
}
