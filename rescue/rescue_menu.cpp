#include "rescue/rescue_menu.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "boot/boot.h"
#include "image/installer.h"
#include "platform/platform.h"
#include "rescue/console.h"
#include "rescue/network.h"
#include "rescue/xmodem.h"
#include "security/lowsec.h"

namespace {

constexpr const char *USB_DIR = "/mnt/usb";

struct DirCloser {
    void operator()(DIR *d) const { closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

void print_menu()
{
    puts("Please select one of the following options:");
    printf("\t%c) Configure networking and tftp download an image\n", 'T');
    printf("\t%c) Use xmodem 1K to serial download an image\n", 'X');
    printf("\t%c) Physical presence (low security mode)\n", 'P');
    printf("\t%c) Reboot\n", 'R');
    printf("\t%c) Exit\n", 'E');
}

bool is_menu_letter(int c) { return c != 0 && strchr("TXUVRMPKDE", c) != nullptr; }

int choose_option()
{
    for (;;) {
        printf("\nOption? : ");
        fflush(stdout);
        const int key = console_get_key();
        printf("%c\n", key);
        if (interruptRequested) {
            interruptRequested = 0;
            continue;
        }
        if (key == 0)
            continue;
        const int upper = toupper(key);
        if (is_menu_letter(upper))
            return upper;
        printf("unknown option \"%c\". Please try again\n", upper);
    }
}

// Next entry that is not a directory; lstat so links are listed, not followed.
// The working directory is the USB directory while this runs.
dirent *next_file(DIR *dir)
{
    while (dirent *entry = readdir(dir)) {
        struct stat st;
        if (lstat(entry->d_name, &st) == 0 && S_ISDIR(st.st_mode))
            continue;
        return entry;
    }
    return nullptr;
}

// Reads lines until quit (answers 0 through *quit) or one starting with a number.
int read_choice(bool *quit)
{
    char line[128];
    for (;;) {
        console_read_line(line, sizeof line);
        if (line[0] == 'q' || line[0] == 'Q') {
            *quit = true;
            return 0;
        }
        int number = 0;
        if (sscanf(line, "%d", &number) == 1)
            return number;
        printf("Invalid file number %s. Try again pleas\n", line);
    }
}

// Opens the stick's directory and works inside it; the message names the failure.
DirHandle enter_usb_dir(const char *failure)
{
    DirHandle dir(opendir(USB_DIR));
    if (!dir)
        puts(failure);
    else if (chdir(USB_DIR) != 0)
        dir.reset();
    return dir;
}

} // namespace

int usb_install_picker()
{
    int number = 0;
    {
        DirHandle dir = enter_usb_dir("Unable to open USB directory. Quitting");
        if (!dir)
            return 0;
        int n = 0;
        while (dirent *entry = next_file(dir.get()))
            printf("\t%d: %s\n", ++n, entry->d_name);
        printf("Choose file number to install (q to quit): ");
        fflush(stdout);
        bool quit = false;
        number = read_choice(&quit);
        (void)chdir("/tmp");
        if (quit || number <= 0)
            return 0;
    }

    std::string path;
    {
        DirHandle dir = enter_usb_dir("Unable to re-open USB directory. Quitting");
        if (!dir)
            return 0;
        int n = 0;
        dirent *entry = nullptr;
        while ((entry = next_file(dir.get())) != nullptr && ++n != number) {
        }
        if (entry == nullptr) {
            (void)chdir("/tmp");
            return 0;
        }
        printf("Installing %s\n", entry->d_name);
        (void)chdir("/tmp");
        // Copied before closedir frees the entry.
        path = std::string(USB_DIR) + '/' + entry->d_name;
    }

    const int result = install_package(path.c_str(), 0, 0);
    if (result != 0)
        append_install_log(path.c_str(), "USB");
    return result;
}

int rescue_menu()
{
    puts("Entering Rescue Mode.");
    for (;;) {
        print_menu();
        switch (choose_option()) {
        case 'T':
            tftp_rescue();
            break;
        case 'X':
            xmodem_rescue();
            break;
        case 'U':
            usb_install_picker();
            break;
        case 'V':
            show_installed_versions();
            break;
        case 'M':
            set_mac_address();
            break;
        case 'P':
            physical_presence_test();
            break;
        case 'K':
            wipe_system_keys();
            break;
        case 'D':
            run_standalone_diags();
            break;
        case 'R':
            plat_sleep_us(1000000);
            reboot_system();
        case 'E':
            return 1;
        }
        // An interrupt inside an action must not cancel the next prompt.
        interruptRequested = 0;
    }
}
