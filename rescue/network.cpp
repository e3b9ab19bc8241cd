#include <cstdio>

#include "rescue/network.h"

// Placeholder until network configuration lands: the port is not configured.
int setup_management_port(int /*dhcpAllowed*/)
{
    puts("[placeholder] management port");
    return 0;
}
