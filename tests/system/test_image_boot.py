"""Booting signed application images from the image slots, and the debug modes."""

import gzip

import pytest

from harness import SLOT, boot, boot_source, in_order, usb_stick
from images import APPLICATION, DIAGNOSTICS, KERNEL, RFS, app_archive, app_image, component, env_image

DHCP = "Confirm: Use DHCP for network configuration? y/N: "
FAILED_1 = "Failed to open Application image 1. Trying image 2.\r\n"


def corrupt(image):
    return image[:-1] + bytes([image[-1] ^ 0x40])


@pytest.mark.parametrize("slot,kernel_first,expected", [
    (1, False, [" Image signature verified. \r\n", "application 1.2.3.4 running"]),
    (1, True, [" Image signature verified. \r\n", "application 1.2.3.4 running"]),
    (2, False, [FAILED_1, "application 1.2.3.4 running"]),
])
def test_first_present_slot_boots_to_the_application(loader, slot, kernel_first, expected):
    # A kernel before the application in the same file is passed over.
    loader.file(SLOT.format(slot), (component(KERNEL, b"k" * 1000) if kernel_first else b"") + app_image("1.2.3.4"))
    _, console = boot(loader)
    assert in_order(console, *expected), console
    assert boot_source(loader) == slot
    assert "backtrace" in loader.commands()
    assert slot == 2 or "Booting image '2'" not in console


@pytest.mark.parametrize("slot1,slot2,expected,booted", [
    ("bad", "good", ["Image1 CRC failed, trying Image2 now.\r\n"], "2.0.0.0"),
    ("bad", "bad", ["Image1 CRC failed, trying Image2 now.\r\n", "Both image1 and image2 failed.\r\n"], None),
    ("short", "good", ["Image1 CRC failed, trying Image2 now.\r\n"], "2.0.0.0"),
    ("kernel", "kernel", ["Image has invalid header 0x3677279. (0x6677279)\r\n",
                          "Image1 has invalid header... trying Image2.\r\n",
                          "No valid application image found. Trying rescue image\r\n",
                          "Entering Rescue Mode."], None),
])
def test_failed_checks_fall_through_the_slots(loader, slot1, slot2, expected, booted):
    for slot, kind in ((1, slot1), (2, slot2)):
        good = app_image(f"{slot}.0.0.0")
        data = {"good": good, "bad": corrupt(good), "short": good[:-100], "kernel": component(KERNEL, b"k" * 64)}
        loader.file(SLOT.format(slot), data[kind])
    _, console = boot(loader)
    assert in_order(console, *expected), console
    if booted:
        assert f"application {booted} running" in console
    else:
        assert "running" not in console and "[board] reboot" in console
        assert ("Entering Rescue Mode." in console) == (slot1 == "kernel")


UNSIGNED = "WARNING: Image is unsigned but you are running developer images and are in low security mode"


# A production-signed root filesystem makes a secured switch. A refused unsigned image is
# offered again: slot 2 is missing and the fallback comes back to slot 1. Every verdict of the
# policy is pinned by the signature unit tests; these rows are the boot's road after it.
@pytest.mark.parametrize("key,rfs,lowsec,answers,message,accepted", [
    ("development", "production", False, [], " Image rejected. Image has invalid signature. Quitting\r\n", False),
    ("development", None, False, [], "NOTE - developer images operational. Checking developer keys....", True),
    (None, None, True, ["y"], UNSIGNED, True),
    (None, None, True, ["n", "n"], UNSIGNED, False),
])
def test_signing_key_against_the_switch_kind(loader, key, rfs, lowsec, answers, message, accepted):
    if rfs:
        loader.mtd("rfs", component(RFS, b"rootfs" * 100, key=rfs))
    if lowsec:
        loader.file("/tmp/lowsec", "trelmock\n")
    loader.file(SLOT.format(1), app_image("1.0.0.1", key=key))
    _, console = boot(loader, [("Install image anyway? y/N? ", a) for a in answers])
    assert message in console
    assert ("application 1.0.0.1 running" in console) == accepted
    assert ("Booting image '2'" in console) != accepted


def test_diagnostics_type_entry_launches_as_diagnostics(loader):
    payload = app_archive(files={"mpdiag.elf.strip": ("#!/bin/sh\necho diagnostics running\n", 0o755)})
    loader.file(SLOT.format(1), component(APPLICATION, payload, key="production", type_entry=DIAGNOSTICS))
    _, console = boot(loader)
    assert "install diags image" in console and "diagnostics running" in console


@pytest.mark.parametrize("options,command", [
    (["gdbserver=on"], "gdbserver :1234 /tmp/home/bin/mp.elf.strip"),
    (["gdbserver=on", "gdbport=4000"], "gdbserver :4000 /tmp/home/bin/mp.elf.strip"),
    (["gdbserver=on", "memchk=on"], "gdbserver :1234 /tmp/home/bin/mp.elf.strip"),
    (["memchk=on"], "libduma.so.0.0.0 loaded"),
])
def test_gdbserver_and_memchk_start_the_application_then_reboot(loader, options, command):
    loader.mtd("ubootenv", env_image(*options))
    loader.file(SLOT.format(1), app_image())
    gdbserver = "gdbserver=on" in options
    _, console = boot(loader, [(DHCP, "y\r")] if gdbserver else [])
    cmds = loader.commands()
    assert command in cmds and cmds[-1] == "reboot", cmds
    assert ("libduma.so.0.0.0 loaded" in cmds) == ("memchk=on" in options)
    if gdbserver:
        assert -1 < console.find(DHCP) < console.find("Booting image '1'")
        assert cmds.index("dhclient -1 eth0") < cmds.index(command)
    else:
        assert "application 1.0.0.0 running" in console


GDB = component(APPLICATION, gzip.compress(b"#!/bin/sh\necho \"gdb runs $*\"\n"))


@pytest.mark.parametrize("other,expected", [
    ("gzip", "*** Launching under GDB ***"),
    ("tar", "Unexpected format for GDB image.\r\n"),
    ("none", "Failed to open GDB image (from slot 2)\r\n"),
    ("kernel", "Image has invalid header 0x3677279\r\n"),
    ("no output", "Failed to open GDB output file.\r\n"),
    ("slot 1", "Failed to open GDB image (from slot 1)\r\n"),  # image 2 boots, slot 1 is empty
    ("usb", "Booting image 'KPX4190_OS.img' from USB stick.\r\n"),  # no other slot to take it from
    ("short", "Image has invalid header 0x0\r\n"),  # shorter than a header
])
def test_gdb_is_taken_from_the_other_slot(loader, other, expected):
    loader.mtd("ubootenv", env_image("gdb=on"))
    loader.file(SLOT.format(2 if other == "slot 1" else 1), app_image())
    slot2 = {"gzip": GDB, "no output": GDB, "tar": app_image("2.0.0.0"), "kernel": component(KERNEL, b"k" * 64),
             "short": b"short"}
    if other in slot2:
        loader.file(SLOT.format(2), slot2[other])
    if other == "no output":
        loader.file("/tmp/gdb.gz/x", "")
    if other == "usb":
        usb_stick(loader, {"KPX4190_OS.img": app_image()})
    _, console = boot(loader)
    assert expected in console
    if other == "gzip":
        assert "Extracting GDB from image slot 2" in console
        assert "gdb runs /tmp/home/bin/mp.elf.strip" in console
        assert loader.commands()[-1] == "reboot"
    else:
        assert "**** GDB mode selected but GDB not available. Please install GDB image ***" in console
        assert "application 1.0.0.0 running" in console
        assert ("Extracting GDB" in console) != (other == "usb")


def test_shell_runs_before_the_application(loader):
    loader.mtd("ubootenv", env_image("shell=on"))
    loader.file(SLOT.format(1), app_image())
    _, console = boot(loader, [("Dropping into shell", "echo inside-shell; exit\n")])
    assert in_order(console, "inside-shell", "Dropping out of shell", "application 1.0.0.0 running"), console


def test_install_script_and_environment_pairs(loader):
    files = {
        "home/bin/install.sh": ("#!/bin/sh\necho install script ran\n", 0o755),
        "home/bin/env-setup": ("ALPHA one\nBETA two LONE\n", 0o644),
    }
    program = "#!/bin/sh\necho \"env ALPHA=$ALPHA BETA=$BETA LONE=${LONE-unset}.\"\n"
    loader.file(SLOT.format(1), component(APPLICATION, app_archive(program=program, files=files), key="production"))
    _, console = boot(loader)
    assert "Running install script" in console and "install script ran" in console
    assert "env ALPHA=one BETA=two LONE=." in console


# What the board lacks at the end of a good boot: the loader says so and reboots.
@pytest.mark.parametrize("blocked,removed,expected", [
    ("/tmp/kalpaimage.tar.gz", None, "Failed to open application image output file.\r\n"),
    (None, "/bin/backtrace", "Failed to start Application OS.\r\n"),
])
def test_unwritable_archive_or_missing_starter_reboots(loader, blocked, removed, expected):
    loader.file(SLOT.format(1), app_image())
    if blocked:
        loader.file(blocked + "/x", "")
    if removed:
        loader.remove(removed)
    _, console = boot(loader)
    assert in_order(console, expected, "[board] reboot"), console
    assert "running" not in console and "Booting image '2'" not in console
