// Management port configuration, MAC address and TFTP download.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct NetworkSettings {
    char interfaceDigit; // N of "ethN"
    uint8_t dhcp;
    uint32_t ipAddress; // network byte order, 0 = not given
    uint32_t netmask;
    uint32_t gateway;
};

int setup_management_port(int dhcpAllowed);
int tftp_rescue();
int set_mac_address();

int ask_network_settings(NetworkSettings &settings, int dhcpAllowed);
int prompt_ip_address(const char *prompt, uint32_t &field, int required, int hostCheck);
int is_valid_host_address(uint32_t address);
int configure_interface(const NetworkSettings &settings);
int mgmt_link_up();

// Six hexadecimal numbers of one or two digits separated by colons, nothing else.
bool is_mac_address(std::string_view line);
// The text as one single-quoted shell word.
std::string shell_quote(std::string_view text);
