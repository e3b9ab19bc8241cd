"""From power-on to the application or the reboot: start-up, image slots, USB stick, debug modes."""

import gzip
import hashlib

import pytest

from harness import EOF_CONSOLE, MENU_PROMPT, SLOT, boot, in_order
from images import APPLICATION, DIAGNOSTICS, KERNEL, RFS, app_archive, app_image, component, env_image

S1, S2, ENV, OS_IMG = SLOT.format(1), SLOT.format(2), "mtd:ubootenv", "/mnt/usb/KPX4190_OS.img"
A1, A2, A3, RECOVERY = app_image("1.0.0.0"), app_image("2.0.0.0"), app_image("3.0.0.0"), app_image("4.0.0.0", key=None)
KERN, GDB = component(KERNEL, b"k" * 64), component(APPLICATION, gzip.compress(b"#!/bin/sh\necho \"gdb runs $*\"\n"))
NO_BOOT, USB, LOWSEC = {S1: KERN, S2: KERN}, {"eeprom:315": b"\xd5", "/tmp/usb": ""}, {"/tmp/lowsec": "trelmock\n"}
DIAGS = app_archive(files={"mpdiag.elf.strip": ("#!/bin/sh\necho diagnostics running\n", 0o755)})
SECURED = {"mtd:rfs": component(RFS, b"rootfs" * 100, key="production")}  # makes a secured switch
DIAG_ENV = {ENV: env_image("diagnostics=diags"), S1: A1}
DATE, MOUNT, SCAN = "date 120510452026.59", "mount -o sync -t jffs2 /dev/mtd-user /user", "summary-scan"
FAIL1, FAIL2 = "Failed to open Application image 1. Trying image 2.\r\n", "Failed to open Application image 2.\r\n"
RUN1, REBOOT, B1, B2 = "application 1.0.0.0 running", "[board] reboot", "Booting image '1'", "Booting image '2'"
RUNNING, CRC1, APP = "running\r\n", "Image1 CRC failed, trying Image2 now.\r\n", "/tmp/home/bin/mp.elf.strip"
X2, TIMEOUT = "Extracting GDB from image slot 2", '\r\nTimeout. Assuming "no".\r\n'
NO_GDB = "**** GDB mode selected but GDB not available. Please install GDB image ***"
DHCP, ANYWAY = "Confirm: Use DHCP for network configuration? y/N: ", "Install image anyway? y/N? "
UNSIGNED = "WARNING: Image is unsigned but you are running developer images and are in low security mode"
ERASE = "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: "
INSTALL = "Install recovery image as image 1 or 2 (hit return to just boot image): "
DIAG_BOOT = ["NOTE: switch running developer signed images", "Booting diags image..."]
IP, CONFIGURING = "IP addr    :", "Configuring management port" + "." * 23 + "\r\n"
DUMP = ["/bin/sh", "-c", "/bin/imgloader-sim; ifconfig eth0 >/board/net.txt 2>&1; route -n >>/board/net.txt 2>&1"]
USB_UP = ["Attempting to mount file system on USB flash drive; this can take up to 10 seconds.\r\n",
          "USB mounted and ready!\r\n", "No boot image found on USB.\r\n"]


def corrupt(image):
    return image[:-1] + bytes([image[-1] ^ 0x40])


def rejected(image):
    return f"/user/images/rejected/{hashlib.md5(image).hexdigest()}"


def net(*want, no=()):
    """Checks the kernel's view of eth0 and its routes (DUMP writes it once the loader has gone), spaces folded."""
    folded = lambda data: " ".join(data.decode().split())  # noqa: E731
    return lambda data: all(w in folded(data) for w in want) and not any(n in folded(data) for n in no)


def row(name, state, shown, absent=(), after=None, cmds=None, answers=(), command=None):
    """State, console shown in order and never, afterwards {path, "eeprom:N" or "source": value}, command log."""
    return pytest.param(state, shown, absent, after or {}, cmds, answers, command, id=name)


ROWS = [
    row("cold start", {}, [B1, FAIL1, FAIL2, "Entering Rescue Mode.", REBOOT], absent=["ERROR", "I2C error"],
        cmds=[DATE, MOUNT, SCAN, "reboot"]),
    *[row(f"selection {n}", {"eeprom:256": bytes([n]), **NO_BOOT}, order) for n, order in [(2, [B2, B1]), (3, [B1, B2])]],
    row("no i2c-0", {"/dev/i2c-0": None, **NO_BOOT},
        ["ERROR: driver /dev/i2c-0 couldn't be opened\r\n", "I2C error when setting bus 1, device 0xa4: 9", B1, B2,
         REBOOT],  # bus 1 unopened: slot 1, no USB, no date
        cmds=[MOUNT, SCAN, "reboot"]),
    row("scan fails", {"/board/summary-scan.status": "3\n"}, ["ERROR updating file system. Reboot recommended\r\n"],
        cmds=[DATE, MOUNT, SCAN, "reboot"]),
    row("scan done", {"/board/summary-scan.status": "3\n", "/user/summary-updated": ""}, [REBOOT], absent=["ERROR"],
        cmds=[DATE, MOUNT, "reboot"]),
    row("bad key file", {"/user/production_key.pub.pem": "k" * 501},
        ["ERROR loading key as length too long 501 > 500\r\n", "WARNING - problem with security keys. No keys found\r\n",
         B1]),
    row("shell after menu", {ENV: env_image("shell=on")}, [FAIL2, "in-2-shell", REBOOT],
        answers=[(MENU_PROMPT, "eecho in-$((1+1))-shell; exit\n")]),
    # a kernel before the application in the same file is passed over
    row("kernel first", {S1: KERN + app_image("1.2.3.4")},
        [" Image signature verified. \r\n", "application 1.2.3.4 running"], absent=[B2], after={"source": 1}),
    row("slot 2 only", {S2: A2}, [FAIL1, "application 2.0.0.0 running"], after={"source": 2}),
    row("crc", {S1: corrupt(A1), S2: A2}, [CRC1, "application 2.0.0.0 running"]),
    row("short", {S1: A1[:-100], S2: A2}, [CRC1, "application 2.0.0.0 running"]),
    row("both crc", {S1: corrupt(A1), S2: corrupt(A2)}, [CRC1, "Both image1 and image2 failed.\r\n", REBOOT],
        absent=[RUNNING, "Entering Rescue Mode."]),
    row("both kernels", NO_BOOT,
        ["Image has invalid header 0x3677279. (0x6677279)\r\n", "Image1 has invalid header... trying Image2.\r\n",
         "No valid application image found. Trying rescue image\r\n", "Entering Rescue Mode.", REBOOT],
        absent=[RUNNING]),
    # a refused image falls back to slot 2
    row("dev key, secured", {**SECURED, S1: app_image("1.0.0.1", key="development")},
        [" Image rejected. Image has invalid signature. Quitting\r\n", B2], absent=[RUNNING]),
    row("dev key", {S1: app_image("1.0.0.1", key="development")},
        ["NOTE - developer images operational. Checking developer keys....", "application 1.0.0.1 running"],
        absent=[B2]),
    row("unsigned, taken", {**LOWSEC, S1: app_image(key=None)}, [UNSIGNED, RUN1], absent=[B2],
        answers=[(ANYWAY, "y")]),
    row("unsigned, refused", {**LOWSEC, S1: app_image(key=None)}, [UNSIGNED, B2], absent=[RUNNING],
        answers=[(ANYWAY, "n"), (ANYWAY, "n")]),
    row("diags type entry", {S1: component(APPLICATION, DIAGS, key="production", type_entry=DIAGNOSTICS)},
        ["install diags image", "diagnostics running"]),
    # gdbserver=on asks at start-up; Ctrl-C or q leaves the port alone and the boot goes on
    row("static address", {ENV: env_image("gdbserver=on")}, [
        "\tNetmask    : 255.255.0.0\r\n\tGateway    : 10.9.0.1\r\n", CONFIGURING, B1], answers=[
        (DHCP, "n\n"), (IP, "10.9.8.7\n"), ("Netmask    :", "255.255.0.0\n"), ("Gateway    :", "10.9.0.1\n")],
        command=DUMP, cmds=[DATE, MOUNT, SCAN, "reboot"],
        after={"/board/net.txt": net("inet addr:10.9.8.7", "Mask:255.255.0.0", "0.0.0.0 10.9.0.1 0.0.0.0 UG")}),
    row("static, no gateway", {ENV: env_image("gdbserver=on")}, [CONFIGURING, B1], absent=["\tNetmask", "\tGateway"],
        answers=[(DHCP, "n\n"), (IP, "10.9.8.7\n"), ("Netmask    :", "\n"), ("Gateway    :", "\n")], command=DUMP,
        after={"/board/net.txt": net("inet addr:10.9.8.7", "Mask:255.0.0.0", no=[" UG "])}),
    *[row(f"network {name}", {ENV: env_image("gdbserver=on")}, [B1], absent=absent + [CONFIGURING], answers=answers,
          command=DUMP if dump else None, after={"/board/net.txt": net(no=["inet addr"])} if dump else None,
          cmds=[DATE, MOUNT, SCAN, *dhcp, "reboot"])
      for name, answers, absent, dhcp, dump in [("dhcp", [(DHCP, "y\n")], [IP], ["dhclient -1 eth0"], True),
                                                ("ctrl-c", [(DHCP, "\x03\n")], [IP], [], False),  # it reaches DUMP too
                                                ("q", [(DHCP, "n\n"), (IP, "q\n")], [], [], True)]],
    *[row(name, {ENV: env_image(*options), S1: A1}, [DHCP, B1] if dhcp else [RUN1], answers=[(DHCP, "y\r")] * dhcp,
          cmds=[DATE, MOUNT, SCAN, *["dhclient -1 eth0"] * dhcp, *run, "reboot"]) for name, options, dhcp, run in [
        ("gdbserver", ["gdbserver=on"], True, [f"gdbserver :1234 {APP}"]),
        ("gdbport", ["gdbserver=on", "gdbport=4000"], True, [f"gdbserver :4000 {APP}"]),
        ("gdbserver memchk", ["gdbserver=on", "memchk=on"], True, ["libduma.so.0.0.0 loaded", f"gdbserver :1234 {APP}"]),
        ("memchk", ["memchk=on"], False, ["libduma.so.0.0.0 loaded"])]],
    row("gdb", {ENV: env_image("gdb=on"), S1: A1, S2: GDB},
        [X2, "*** Launching under GDB ***", f"gdb runs {APP}", REBOOT], absent=[NO_GDB]),
    *[row(f"gdb {name}", {ENV: env_image("gdb=on"), **state}, shown + [NO_GDB, RUN1],
          absent=[] if "slot" in shown[0] else ["Extracting GDB"]) for name, state, shown in [
          ("tar", {S1: A1, S2: A2}, [X2, "Unexpected format for GDB image.\r\n"]),
          ("none", {S1: A1}, [X2, "Failed to open GDB image (from slot 2)\r\n"]),
          ("kernel", {S1: A1, S2: KERN}, [X2, "Image has invalid header 0x3677279\r\n"]),
          ("short", {S1: A1, S2: b"short"}, [X2, "Image has invalid header 0x0\r\n"]),
          ("no output", {S1: A1, S2: GDB, "/tmp/gdb.gz/x": ""}, [X2, "Failed to open GDB output file.\r\n"]),
          ("slot 1", {S2: A1}, ["Extracting GDB from image slot 1", "Failed to open GDB image (from slot 1)\r\n"]),
          # no other slot to take it from
          ("usb", {S1: A1, **USB, OS_IMG: A1}, ["Booting image 'KPX4190_OS.img' from USB stick.\r\n"])]],
    row("shell", {ENV: env_image("shell=on"), S1: A1}, ["inside-shell", "Dropping out of shell", RUN1],
        answers=[("Dropping into shell", "echo inside-shell; exit\n")]),
    row("install script",
        {S1: component(APPLICATION, app_archive(
            program="#!/bin/sh\necho \"env ALPHA=$ALPHA BETA=$BETA LONE=${LONE-unset}.\"\n",
            files={"home/bin/install.sh": ("#!/bin/sh\necho install script ran\n", 0o755),
                   "home/bin/env-setup": ("ALPHA one\nBETA two LONE\n", 0o644)}), key="production")},
        ["Running install script", "install script ran", "env ALPHA=one BETA=two LONE=."]),
    row("archive unwritable", {S1: A1, "/tmp/kalpaimage.tar.gz/x": ""},
        ["Failed to open application image output file.\r\n", REBOOT], absent=[RUNNING, B2]),
    row("no starter", {S1: A1, "/bin/backtrace": None}, ["Failed to start Application OS.\r\n", REBOOT],
        absent=[RUNNING, B2]),
    # A stick's image goes on the rejected list before it is read: a failing one is not tried again unasked;
    # without its checksum (md5sum's output cannot be written) the image boots unlisted.
    *[row(f"usb {name}", {**USB, OS_IMG: image, S1: A1, **state}, USB_UP + shown + [f"application {booted} running"],
          after={"source": source, rejected(image): None if state else b""})
      for name, image, state, shown, booted, source in [
          ("boot", A3, {}, ["Booting image 'KPX4190_OS.img' from USB stick.\r\n"], "3.0.0.0", 3),
          ("corrupt", KERN, {}, ["Error: USB image corrupted or belongs to another switch type.\r\n"], "1.0.0.0", 1),
          ("crc", corrupt(A3), {}, ["USB image CRC failed."], "1.0.0.0", 1),
          ("unlisted", A3, {"/tmp/img_md5string/x": ""}, ["Warning: Cannot determine if image is in rejected list!"
                                                          "\r\n", "Warning: Cannot add image to rejected list!\r\n"],
           "3.0.0.0", 3)]],
    row("usb off", {"eeprom:315": b"\x00", "/tmp/usb": "", S1: A1}, [RUN1], absent=["Attempting to mount", "USB"]),
    row("usb timeout", {"eeprom:315": b"\xd5", S1: A1}, ["." * 10 + "USB mount timed out\r\n", RUN1],
        absent=["No boot image found on USB."]),
    row("usb empty", {**USB, S1: A1}, USB_UP + ["No valid image found on USB\r\n", RUN1]),
    # recovery image from the rescue partition after no to the erase (/user kept); a directory in the way of a /tmp
    # file the loader writes
    *[row(f"recovery {name}", {**DIAG_ENV, "mtd:rescue": rescue, **state}, DIAG_BOOT + shown, after=after, cmds=cmds,
          answers=[(ERASE, "n")] + [(INSTALL, slot)] * bool(slot)) for name, rescue, state, slot, shown, after, cmds in [
        ("install", RECOVERY, {}, "2\n", ["Installing recovery image as image2...", "Setting boot image to 2",
                                         "application 4.0.0.0 running"], {S2: RECOVERY, "eeprom:256": 2, "source": 2},
         [DATE, MOUNT, SCAN, "backtrace"]),
        ("boot", RECOVERY, {}, "\n", ["Booting recovery image. You will need to download and install an image before "
                                      "rebooting", "application 4.0.0.0 running"],
         {S2: None, "eeprom:256": 0xFF, "source": 4}, None),
        ("crc", corrupt(RECOVERY), {}, None, ["Image CRC failed. Quitting\r\n", RUN1], {"eeprom:256": 0xFF, "source": 1},
         None),
        ("kernel", KERN, {}, None, ["Image not found... \r\n", RUN1], {"eeprom:256": 0xFF, "source": 1}, None),
        ("no archive", RECOVERY, {"/tmp/kalpaimage.tar.gz/x": ""}, None, ["Failed to open AppOS tarfile.\r\n", REBOOT],
         {"/board/eeprom.bin": None}, None),
        ("no image file", RECOVERY, {"/tmp/image/x": ""}, "1\n", ["Installing recovery image as image1...",
                                                                 "Failed to open image file.\r\n", REBOOT],
         {S1: A1, "/board/eeprom.bin": None}, None)]],
    row("diags refused", {**DIAG_ENV, **SECURED, "mtd:rescue": component(APPLICATION, b"x" * 100)},
        ["Standalone diags cannot be run on a secured switch\r\nPlease establish physical presence first", RUN1]),
    row("diags after erase", {**DIAG_ENV, **SECURED, **LOWSEC, "mtd:rescue": component(DIAGNOSTICS, DIAGS)},
        ["Launching diagnostics image", "diagnostics running"], after={"source": 4},
        cmds=[DATE, MOUNT, SCAN, "umount /user", "flash_eraseall /dev/mtd-user-char", MOUNT, "backtrace"],
        answers=[("y/N: ", "y")]),
    # None: no answer in time; "eof": the console is at its end. Other keys ask again.
    *[row(f"rejected {kind} {reply!r}", {**USB, f"/mnt/usb/{name}": A3, S1: A1, rejected(A3): ""},
          (taken + ["application 3.0.0.0 running"]) if reply == "xy\n" else
          [TIMEOUT] * (reply is None) + refused + [RUN1],
          absent=(refused + [TIMEOUT]) if reply == "xy\n" else taken + [TIMEOUT] * (reply is not None),
          after={S1: A3 if reply == "xy\n" and kind == "replacement" else A1}, answers=[(question, reply or "")],
          command=EOF_CONSOLE if reply == "eof" else None)
      for reply in ("xy\n", "n\n", None, "eof") for kind, name, question, taken, refused in [  # taken: shown if yes
          ("os", "KPX4190_OS.img", "USB image is in rejected list.\r\nWould you still like to load it? (y/n) ",
           ["Continuing to load USB image..."], ["USB Boot failed. Trying flash images.\r\n"]),
          ("replacement", "KPX4190_replace1_OS.img", "Replacement USB image is in rejected list.\r\nWould you still "
           "like to load it? ", ["Continuing with replacement USB image...",
                                 "USB replacement image: board will boot with image1."], [])]],
]


@pytest.mark.parametrize("state,shown,absent,after,cmds,answers,command", ROWS)
def test_boot(loader, state, shown, absent, after, cmds, answers, command):
    loader.rtc("2026-12-05 10:45:59")
    loader.prepare(state)
    _, console = boot(loader, answers, command=command)
    assert in_order(console, *shown), console
    assert not [text for text in absent if text in console]
    eeprom = loader.read("/board/eeprom.bin")
    for key, value in after.items():
        got = loader.read(key) if key.startswith("/") else eeprom[int(key[7:])] if key != "source" else eeprom[314]
        assert value(got) if callable(value) else got == value, key
    assert cmds is None or loader.commands() == cmds
