#include "rescue/network.h"

#include <arpa/inet.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "boot/boot.h"
#include "boot/outside.h"
#include "image/installer.h"
#include "platform/platform.h"
#include "rescue/console.h"

namespace {

constexpr const char *downloadFile = "/tmp/image";

void sleep_seconds(unsigned seconds) { plat_sleep_us(uint64_t{seconds} * 1000000); }

std::string dotted(uint32_t address)
{
    in_addr a{};
    a.s_addr = address;
    return inet_ntoa(a);
}

bool download_present()
{
    struct stat st {};
    return stat(downloadFile, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

struct Socket {
    int fd;
    ~Socket()
    {
        if (fd >= 0)
            close(fd);
    }
};

} // namespace

int is_valid_host_address(uint32_t address)
{
    const uint32_t first = ntohl(address) >> 24;
    return address != 0 && first != 0 && first < 240;
}

int prompt_ip_address(const char *prompt, uint32_t &field, int required, int hostCheck)
{
    char line[128];
    for (;;) {
        fputs(prompt, stdout);
        fflush(stdout);
        console_read_line(line, sizeof line);
        if (line[0] == 'q' || line[0] == 'Q')
            return 0;
        if (line[0] == '\0' && !required)
            return 1;
        in_addr a{};
        if (!inet_aton(line, &a)) {
            puts("Invalid IP address. Try again please");
            continue;
        }
        if (hostCheck && !is_valid_host_address(a.s_addr)) {
            printf("Invalid IP address %s. Try again please\n", line);
            continue;
        }
        field = a.s_addr;
        return 1;
    }
}

int ask_network_settings(NetworkSettings &settings, int dhcpAllowed)
{
    settings.dhcp = 0;
    if (dhcpAllowed && access("/bin/dhclient", F_OK) == 0) {
        char line[128];
        fputs("Confirm: Use DHCP for network configuration? y/N: ", stdout);
        fflush(stdout);
        console_read_line(line, sizeof line);
        if (interruptRequested)
            return 0;
        if (toupper(static_cast<unsigned char>(line[0])) == 'Y')
            settings.dhcp = 1;
        putchar('\n');
    }
    if (settings.dhcp)
        return 1;
    if (!prompt_ip_address("IP addr    :", settings.ipAddress, 1, 1))
        return 0;
    if (!prompt_ip_address("Netmask    :", settings.netmask, 0, 0))
        return 0;
    if (!prompt_ip_address("Gateway    :", settings.gateway, 0, 1))
        return 0;
    return 1;
}

int mgmt_link_up()
{
    Socket s{socket(AF_INET, SOCK_DGRAM, 0)};
    if (s.fd < 0) {
        puts("Raw Socket open error");
        return 0;
    }
    ifreq ifr{};
    strncpy(ifr.ifr_name, "eth0", IFNAMSIZ - 1);
    if (plat_ioctl(s.fd, SIOCGIFINDEX, &ifr) < 0) {
        printf("Open Interface %s error.\n", "eth0");
        return 0;
    }
    if (plat_ioctl(s.fd, SIOCGIFFLAGS, &ifr) < 0) {
        puts("Open flags error.");
        return 0;
    }
    const short flags = ifr.ifr_flags;
    ethtool_value link{};
    link.cmd = ETHTOOL_GLINK;
    ifr.ifr_data = reinterpret_cast<char *>(&link);
    if (plat_ioctl(s.fd, SIOCETHTOOL, &ifr) < 0) {
        puts("EthTool GLINK error.");
        return 0;
    }
    return link.data != 0 && (flags & IFF_UP) && (flags & IFF_RUNNING);
}

int configure_interface(const NetworkSettings &settings)
{
    const char n = settings.interfaceDigit;
    char cmd[160];
    if (settings.dhcp) {
        snprintf(cmd, sizeof cmd, "dhclient -1 eth%c", n);
        run_command(cmd);
        sleep_seconds(3);
    } else {
        snprintf(cmd, sizeof cmd, "ifconfig eth%c %s\n", n, dotted(settings.ipAddress).c_str());
        run_command(cmd);
        if (settings.netmask != 0) {
            const std::string mask = dotted(settings.netmask);
            printf("\tNetmask    : %s\n", mask.c_str());
            snprintf(cmd, sizeof cmd, "ifconfig eth%c down\n", n);
            run_command(cmd);
            snprintf(cmd, sizeof cmd, "ifconfig eth%c netmask %s\n", n, mask.c_str());
            run_command(cmd);
            snprintf(cmd, sizeof cmd, "ifconfig eth%c up\n", n);
            run_command(cmd);
        }
        sleep_seconds(5);
        if (settings.gateway != 0) {
            const std::string gw = dotted(settings.gateway);
            printf("\tGateway    : %s\n", gw.c_str());
            snprintf(cmd, sizeof cmd, "route add default gw %s\n", gw.c_str());
            run_command(cmd);
        }
        fputs("Configuring management port...", stdout);
        for (int i = 0; i < 20; ++i) {
            sleep_seconds(1);
            putchar('.');
            fflush(stdout);
        }
        putchar('\n');
        sleep_seconds(1);
    }
    if (n == '0' && !mgmt_link_up()) {
        puts("Mgmt link not available. Quitting.");
        return 0;
    }
    return 1;
}

int setup_management_port(int dhcpAllowed)
{
    NetworkSettings settings{};
    settings.interfaceDigit = '0';
    if (ask_network_settings(settings, dhcpAllowed) == 1)
        return configure_interface(settings);
    return 0;
}

std::string shell_quote(std::string_view text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

int tftp_rescue()
{
    NetworkSettings settings{};
    settings.interfaceDigit = '0';
    uint32_t server = 0;
    puts("Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):");
    if (!ask_network_settings(settings, 0))
        return 0;
    if (!prompt_ip_address("Server addr:", server, 1, 1))
        return 0;

    char name[128];
    for (;;) {
        fputs("Image Filename: ", stdout);
        fflush(stdout);
        console_read_line(name, sizeof name);
        if (strlen(name) >= 2)
            break;
        if (strcmp(name, "q") == 0 || interruptRequested)
            return 0;
        puts("Invalid filename. Try again please");
    }
    if (interruptRequested)
        return 0;
    if (!configure_interface(settings))
        return 0;

    const std::string serverText = dotted(server);
    const std::string command =
        "tftp -g -r " + shell_quote(name) + " -l " + downloadFile + " " + serverText + "\n";
    bool fetched = false;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        if (interruptRequested)
            return 0;
        // A file left by an earlier or failed transfer must never reach the installer.
        unlink(downloadFile);
        printf("Installing image %s from TFTP server %s\n", name, serverText.c_str());
        const int status = run_command(command.c_str());
        if (status == 0 && download_present()) {
            fetched = true;
            break;
        }
        unlink(downloadFile);
        printf("Attempt %d/3 of tftp timed out\n", attempt);
        sleep_seconds(3);
    }
    if (!fetched) {
        puts("Tftp download failed. Aborting");
        return 0;
    }
    const int result = install_package(downloadFile, 0, 0);
    if (result != 0)
        append_install_log(name, serverText.c_str());
    return result;
}

bool is_mac_address(std::string_view line)
{
    int groups = 0;
    size_t i = 0;
    while (groups < 6) {
        size_t digits = 0;
        while (i < line.size() && isxdigit(static_cast<unsigned char>(line[i])) && digits < 3) {
            ++i;
            ++digits;
        }
        if (digits == 0 || digits > 2)
            return false;
        ++groups;
        if (groups < 6) {
            if (i >= line.size() || line[i] != ':')
                return false;
            ++i;
        }
    }
    return i == line.size();
}

int set_mac_address()
{
    char line[18];
    for (;;) {
        fputs("MAC address (format nn:nn:nn:nn:nn:nn): ", stdout);
        fflush(stdout);
        console_read_line(line, sizeof line);
        if (interruptRequested)
            return 0;
        if (is_mac_address(line)) {
            char cmd[64];
            snprintf(cmd, sizeof cmd, "ifconfig eth%c hw ether %s\n", '0', line);
            run_command(cmd);
            return 1;
        }
        puts("Invalid MAC address. Try again please");
    }
}
