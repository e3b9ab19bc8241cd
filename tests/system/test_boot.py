"""From power-on to the application or the reboot: start-up, image slots, USB stick, debug modes."""

import gzip
import hashlib

import pytest

from harness import EOF_CONSOLE, MENU_PROMPT, SLOT, boot, boot_source, in_order, talk
from images import APPLICATION, DIAGNOSTICS, KERNEL, RFS, app_archive, app_image, component, env_image

S1, S2, ENV, OS_IMG = SLOT.format(1), SLOT.format(2), "mtd:ubootenv", "/mnt/usb/KPX4190_OS.img"
A1, A2, A3 = app_image("1.0.0.0"), app_image("2.0.0.0"), app_image("3.0.0.0")
KERN = component(KERNEL, b"k" * 64)
NO_BOOT = {S1: KERN, S2: KERN}
USB = {"eeprom:315": b"\xd5", "/tmp/usb": ""}
GDB = component(APPLICATION, gzip.compress(b"#!/bin/sh\necho \"gdb runs $*\"\n"))
DIAGS = app_archive(files={"mpdiag.elf.strip": ("#!/bin/sh\necho diagnostics running\n", 0o755)})
SECURED = {"mtd:rfs": component(RFS, b"rootfs" * 100, key="production")}
LOWSEC = {"/tmp/lowsec": "trelmock\n"}
RECOVERY = app_image("4.0.0.0", key=None)
DIAG_ENV = {ENV: env_image("diagnostics=diags"), S1: A1}
DATE, MOUNT, SCAN = "date 120510452026.59", "mount -o sync -t jffs2 /dev/mtd-user /user", "summary-scan"
APP = "/tmp/home/bin/mp.elf.strip"
FAIL1, FAIL2 = "Failed to open Application image 1. Trying image 2.\r\n", "Failed to open Application image 2.\r\n"
RUN1, REBOOT, B1, B2 = "application 1.0.0.0 running", "[board] reboot", "Booting image '1'", "Booting image '2'"
RUNNING = "running\r\n"
CRC1 = "Image1 CRC failed, trying Image2 now.\r\n"
X2 = "Extracting GDB from image slot 2"
NO_GDB = "**** GDB mode selected but GDB not available. Please install GDB image ***"
DHCP = "Confirm: Use DHCP for network configuration? y/N: "
ANYWAY = "Install image anyway? y/N? "
UNSIGNED = "WARNING: Image is unsigned but you are running developer images and are in low security mode"
ERASE = "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: "
INSTALL = "Install recovery image as image 1 or 2 (hit return to just boot image): "
DIAG_BOOT = ["NOTE: switch running developer signed images", "Booting diags image..."]
USB_UP = ["Attempting to mount file system on USB flash drive; this can take up to 10 seconds.\r\n",
          "USB mounted and ready!\r\n", "No boot image found on USB.\r\n"]


def corrupt(image):
    return image[:-1] + bytes([image[-1] ^ 0x40])


def rejected(image):
    return f"/user/images/rejected/{hashlib.md5(image).hexdigest()}"


# id, board state, answers, shown in this order, never shown, afterwards ({path, "eeprom:N" or "source": value}),
# the whole command log (None: not checked). The clock reads 2026-12-05 10:45:59 throughout.
ROWS = [
    ("cold start", {}, [], [B1, FAIL1, FAIL2, "Entering Rescue Mode.", REBOOT], ["ERROR", "I2C error"], {},
     [DATE, MOUNT, SCAN, "reboot"]),
    ("selection 2", {"eeprom:256": b"\x02", **NO_BOOT}, [], [B2, B1], [], {}, None),
    ("selection 3", {"eeprom:256": b"\x03", **NO_BOOT}, [], [B1, B2], [], {}, None),
    ("no i2c-0", {"/dev/i2c-0": None, **NO_BOOT}, [],  # bus 1 unopened: slot 1, no USB, no date
     ["ERROR: driver /dev/i2c-0 couldn't be opened\r\n", "I2C error when setting bus 1, device 0xa4: 9", B1, B2,
      REBOOT], [], {}, [MOUNT, SCAN, "reboot"]),
    ("scan fails", {"/board/summary-scan.status": "3\n"}, [], ["ERROR updating file system. Reboot recommended\r\n"],
     [], {}, [DATE, MOUNT, SCAN, "reboot"]),
    ("scan done", {"/board/summary-scan.status": "3\n", "/user/summary-updated": ""}, [], [REBOOT], ["ERROR"], {},
     [DATE, MOUNT, "reboot"]),
    ("bad key file", {"/user/production_key.pub.pem": "k" * 501}, [],
     ["ERROR loading key as length too long 501 > 500\r\n", "WARNING - problem with security keys. No keys found\r\n",
      B1], [], {}, None),
    ("shell after menu", {ENV: env_image("shell=on")}, [(MENU_PROMPT, "eecho in-$((1+1))-shell; exit\n")],
     [FAIL2, "in-2-shell", REBOOT], [], {}, None),
    # a kernel before the application in the same file is passed over
    ("kernel first", {S1: KERN + app_image("1.2.3.4")}, [],
     [" Image signature verified. \r\n", "application 1.2.3.4 running"], [B2], {"source": 1}, None),
    ("slot 2 only", {S2: A2}, [], [FAIL1, "application 2.0.0.0 running"], [], {"source": 2}, None),
    ("crc", {S1: corrupt(A1), S2: A2}, [], [CRC1, "application 2.0.0.0 running"], [], {}, None),
    ("short", {S1: A1[:-100], S2: A2}, [], [CRC1, "application 2.0.0.0 running"], [], {}, None),
    ("both crc", {S1: corrupt(A1), S2: corrupt(A2)}, [], [CRC1, "Both image1 and image2 failed.\r\n", REBOOT],
     [RUNNING, "Entering Rescue Mode."], {}, None),
    ("both kernels", NO_BOOT, [], ["Image has invalid header 0x3677279. (0x6677279)\r\n",
                                   "Image1 has invalid header... trying Image2.\r\n",
                                   "No valid application image found. Trying rescue image\r\n",
                                   "Entering Rescue Mode.", REBOOT], [RUNNING], {}, None),
    # A production-signed root filesystem makes a secured switch; a refused image falls back to slot 2.
    ("dev key, secured", {**SECURED, S1: app_image("1.0.0.1", key="development")}, [],
     [" Image rejected. Image has invalid signature. Quitting\r\n", B2], [RUNNING], {}, None),
    ("dev key", {S1: app_image("1.0.0.1", key="development")}, [],
     ["NOTE - developer images operational. Checking developer keys....", "application 1.0.0.1 running"], [B2], {},
     None),
    ("unsigned, taken", {**LOWSEC, S1: app_image(key=None)}, [(ANYWAY, "y")], [UNSIGNED, RUN1], [B2], {}, None),
    ("unsigned, refused", {**LOWSEC, S1: app_image(key=None)}, [(ANYWAY, "n"), (ANYWAY, "n")], [UNSIGNED, B2],
     [RUNNING], {}, None),
    ("diags type entry", {S1: component(APPLICATION, DIAGS, key="production", type_entry=DIAGNOSTICS)}, [],
     ["install diags image", "diagnostics running"], [], {}, None),
    ("gdbserver", {ENV: env_image("gdbserver=on"), S1: A1}, [(DHCP, "y\r")], [DHCP, B1], [RUNNING], {},
     [DATE, MOUNT, SCAN, "dhclient -1 eth0", f"gdbserver :1234 {APP}", "reboot"]),
    ("gdbport", {ENV: env_image("gdbserver=on", "gdbport=4000"), S1: A1}, [(DHCP, "y\r")], [DHCP, B1], [], {},
     [DATE, MOUNT, SCAN, "dhclient -1 eth0", f"gdbserver :4000 {APP}", "reboot"]),
    ("gdbserver memchk", {ENV: env_image("gdbserver=on", "memchk=on"), S1: A1}, [(DHCP, "y\r")], [DHCP, B1], [], {},
     [DATE, MOUNT, SCAN, "dhclient -1 eth0", "libduma.so.0.0.0 loaded", f"gdbserver :1234 {APP}",
      "reboot"]),
    ("memchk", {ENV: env_image("memchk=on"), S1: A1}, [], [RUN1], [], {},
     [DATE, MOUNT, SCAN, "libduma.so.0.0.0 loaded", "reboot"]),
    ("gdb", {ENV: env_image("gdb=on"), S1: A1, S2: GDB}, [],
     [X2, "*** Launching under GDB ***", f"gdb runs {APP}", REBOOT], [NO_GDB], {},
     None),
    *[(f"gdb {name}", {ENV: env_image("gdb=on"), **state}, [], shown + [NO_GDB, RUN1],
       [] if "slot" in shown[0] else ["Extracting GDB"], {}, None) for name, state, shown in [
          ("tar", {S1: A1, S2: A2}, [X2, "Unexpected format for GDB image.\r\n"]),
          ("none", {S1: A1}, [X2, "Failed to open GDB image (from slot 2)\r\n"]),
          ("kernel", {S1: A1, S2: KERN}, [X2, "Image has invalid header 0x3677279\r\n"]),
          ("short", {S1: A1, S2: b"short"}, [X2, "Image has invalid header 0x0\r\n"]),
          ("no output", {S1: A1, S2: GDB, "/tmp/gdb.gz/x": ""}, [X2, "Failed to open GDB output file.\r\n"]),
          ("slot 1", {S2: A1}, ["Extracting GDB from image slot 1", "Failed to open GDB image (from slot 1)\r\n"]),
          # no other slot to take it from
          ("usb", {S1: A1, **USB, OS_IMG: A1}, ["Booting image 'KPX4190_OS.img' from USB stick.\r\n"])]],
    ("shell", {ENV: env_image("shell=on"), S1: A1}, [("Dropping into shell", "echo inside-shell; exit\n")],
     ["inside-shell", "Dropping out of shell", RUN1], [], {}, None),
    ("install script", {S1: component(APPLICATION, app_archive(
        program="#!/bin/sh\necho \"env ALPHA=$ALPHA BETA=$BETA LONE=${LONE-unset}.\"\n",
        files={"home/bin/install.sh": ("#!/bin/sh\necho install script ran\n", 0o755),
               "home/bin/env-setup": ("ALPHA one\nBETA two LONE\n", 0o644)}), key="production")}, [],
     ["Running install script", "install script ran", "env ALPHA=one BETA=two LONE=."], [], {}, None),
    ("archive unwritable", {S1: A1, "/tmp/kalpaimage.tar.gz/x": ""}, [],
     ["Failed to open application image output file.\r\n", REBOOT], [RUNNING, B2], {}, None),
    ("no starter", {S1: A1, "/bin/backtrace": None}, [], ["Failed to start Application OS.\r\n", REBOOT],
     [RUNNING, B2], {}, None),
    # A stick's image goes on the rejected list before it is read: a failing one is not tried again unasked.
    ("usb", {**USB, OS_IMG: A3, S1: A1}, [], USB_UP + ["Booting image 'KPX4190_OS.img' from USB stick.\r\n",
                                                      "application 3.0.0.0 running"], [], {"source": 3, rejected(A3): b""},
     None),
    ("usb corrupt", {**USB, OS_IMG: KERN, S1: A1}, [],
     USB_UP + ["Error: USB image corrupted or belongs to another switch type.\r\n", RUN1], [],
     {"source": 1, rejected(KERN): b""}, None),
    ("usb crc", {**USB, OS_IMG: corrupt(A3), S1: A1}, [], USB_UP + ["USB image CRC failed.", RUN1], [],
     {"source": 1, rejected(corrupt(A3)): b""}, None),
    # without its checksum (md5sum's output cannot be written) the image boots unlisted
    ("usb unlisted", {**USB, OS_IMG: A3, S1: A1, "/tmp/img_md5string/x": ""}, [],
     USB_UP + ["Warning: Cannot determine if image is in rejected list!\r\n",
               "Warning: Cannot add image to rejected list!\r\n", "application 3.0.0.0 running"], [],
     {"source": 3, rejected(A3): None}, None),
    ("usb off", {"eeprom:315": b"\x00", "/tmp/usb": "", S1: A1}, [], [RUN1], ["Attempting to mount", "USB"], {}, None),
    ("usb timeout", {"eeprom:315": b"\xd5", S1: A1}, [], ["." * 10 + "USB mount timed out\r\n", RUN1],
     ["No boot image found on USB."], {}, None),
    ("usb empty", {**USB, S1: A1}, [], USB_UP + ["No valid image found on USB\r\n", RUN1], [], {}, None),
    # recovery image from the rescue partition; a directory in the way of a /tmp file the loader writes
    ("recovery install", {**DIAG_ENV, "mtd:rescue": RECOVERY}, [(ERASE, "n"), (INSTALL, "2\n")],
     DIAG_BOOT + ["Installing recovery image as image2...", "Setting boot image to 2", "application 4.0.0.0 running"],
     [], {S2: RECOVERY, "eeprom:256": 2, "source": 2}, [DATE, MOUNT, SCAN, "backtrace"]),
    ("recovery boot", {**DIAG_ENV, "mtd:rescue": RECOVERY}, [(ERASE, "n"), (INSTALL, "\n")], DIAG_BOOT + [
        "Booting recovery image. You will need to download and install an image before rebooting",
        "application 4.0.0.0 running"], [], {S2: None, "eeprom:256": 0xFF, "source": 4}, None),
    ("recovery crc", {**DIAG_ENV, "mtd:rescue": corrupt(RECOVERY)}, [(ERASE, "n")],
     DIAG_BOOT + ["Image CRC failed. Quitting\r\n", RUN1], [], {"eeprom:256": 0xFF, "source": 1}, None),
    ("recovery kernel", {**DIAG_ENV, "mtd:rescue": KERN}, [(ERASE, "n")], DIAG_BOOT + ["Image not found... \r\n", RUN1],
     [], {"eeprom:256": 0xFF, "source": 1}, None),
    ("recovery no archive", {**DIAG_ENV, "mtd:rescue": RECOVERY, "/tmp/kalpaimage.tar.gz/x": ""}, [(ERASE, "n")],
     DIAG_BOOT + ["Failed to open AppOS tarfile.\r\n", REBOOT], [], {"/board/eeprom.bin": None}, None),
    ("recovery no image file", {**DIAG_ENV, "mtd:rescue": RECOVERY, "/tmp/image/x": ""}, [(ERASE, "n"), (INSTALL, "1\n")],
     DIAG_BOOT + ["Installing recovery image as image1...", "Failed to open image file.\r\n", REBOOT], [],
     {S1: A1, "/board/eeprom.bin": None}, None),
    ("diags refused", {**DIAG_ENV, **SECURED, "mtd:rescue": component(APPLICATION, b"x" * 100)}, [],
     ["Standalone diags cannot be run on a secured switch\r\nPlease establish physical presence first", RUN1], [], {},
     None),
    ("diags after erase", {**DIAG_ENV, **SECURED, **LOWSEC, "mtd:rescue": component(DIAGNOSTICS, DIAGS)},
     [("y/N: ", "y")], ["Launching diagnostics image", "diagnostics running"], [], {"source": 4},
     [DATE, MOUNT, SCAN, "umount /user", "flash_eraseall /dev/mtd-user-char", MOUNT, "backtrace"]),
]


@pytest.mark.parametrize("state,answers,shown,absent,after,cmds", [r[1:] for r in ROWS], ids=[r[0] for r in ROWS])
def test_boot(loader, state, answers, shown, absent, after, cmds):
    loader.rtc("2026-12-05 10:45:59")
    loader.prepare(state)
    _, console = boot(loader, answers)
    assert in_order(console, *shown), console
    assert not [text for text in absent if text in console]
    eeprom = loader.read("/board/eeprom.bin")
    for key, value in after.items():
        got = loader.read(key) if key.startswith("/") else eeprom[int(key[7:])] if key != "source" else boot_source(loader)
        assert got == value, key
    assert cmds is None or loader.commands() == cmds


# name on the stick, question, shown when taken, shown when refused
REJECTED = {
    "os": ("KPX4190_OS.img", "USB image is in rejected list.\r\nWould you still like to load it? (y/n) ",
           ["Continuing to load USB image..."], ["USB Boot failed. Trying flash images.\r\n"]),
    "replacement": ("KPX4190_replace1_OS.img", "Replacement USB image is in rejected list.\r\nWould you still like to "
                    "load it? ", ["Continuing with replacement USB image...",
                                  "USB replacement image: board will boot with image1."], []),
}


# None: no answer in time; "eof": the console is at its end. Other keys ask again.
@pytest.mark.parametrize("reply", ["xy\n", "n\n", None, "eof"])
@pytest.mark.parametrize("kind", list(REJECTED))
def test_rejected_usb_image_asks_first(loader, kind, reply):
    name, question, if_taken, if_refused = REJECTED[kind]
    loader.prepare({**USB, f"/mnt/usb/{name}": A3, S1: A1, rejected(A3): ""})
    talk(loader.start(EOF_CONSOLE if reply == "eof" else None), [(question, reply if reply in ("xy\n", "n\n") else "")])
    loader.leave_menus()
    console, taken = loader.console(), reply == "xy\n"
    assert f"application {'3.0.0.0' if taken else '1.0.0.0'} running" in console
    assert ('\r\nTimeout. Assuming "no".\r\n' in console) == (reply is None)
    assert (loader.read(S1) == A3) == (taken and kind == "replacement")
    for text in if_taken + if_refused:
        assert (text in console) == (taken == (text in if_taken)), text
