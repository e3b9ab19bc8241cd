"""Booting signed application images from the image slots, and the debug modes."""

import gzip

import pytest

from images import (APPLICATION, DIAGNOSTICS, KERNEL, RFS, app_archive, app_image, component)

SLOT = "/user/images/image{}"


def boot(board, answer=None, timeout=30):
    child = board.start(timeout=timeout)
    for prompt, reply in answer or []:
        child.expect_exact(prompt)
        child.send(reply)
    status, _ = board.leave_menus(timeout)
    return status, board.console()


def boot_source(board):
    eeprom = board.read("/board/eeprom.bin")
    return eeprom[314] if eeprom else None


def secured_rfs(board):
    """A production-signed root filesystem: the switch is not a developer one."""
    board.mtd("rfs", component(RFS, b"rootfs" * 100, key="production"))


def test_slot_1_boots_to_the_application(loader):
    loader.file(SLOT.format(1), app_image("1.2.3.4"))
    status, console = boot(loader)
    assert " Image signature verified. \r\n" in console
    assert "application 1.2.3.4 running" in console
    assert boot_source(loader) == 1
    assert "backtrace" in loader.commands()
    assert "Booting image '2'" not in console


def test_missing_slot_1_falls_back_to_slot_2(loader):
    loader.file(SLOT.format(2), app_image("2.0.0.0"))
    _, console = boot(loader)
    assert "Failed to open Application image 1. Trying image 2.\r\n" in console
    assert "application 2.0.0.0 running" in console
    assert boot_source(loader) == 2


def test_both_slots_missing_end_in_the_rescue_menu_and_a_reboot(loader):
    _, console = boot(loader)
    at = [console.find(s) for s in ("Failed to open Application image 1. Trying image 2.\r\n",
                                     "Failed to open Application image 2.\r\n",
                                     "Entering Rescue Mode.", "[board] reboot")]
    assert -1 not in at and at == sorted(at), console


def corrupt(image):
    b = bytearray(image)
    b[-1] ^= 0x40
    return bytes(b)


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
    good = {1: app_image("1.0.0.0"), 2: app_image("2.0.0.0")}
    for slot, kind in ((1, slot1), (2, slot2)):
        data = {"good": good[slot], "bad": corrupt(good[slot]), "short": good[slot][:-100],
                "kernel": component(KERNEL, b"k" * 64)}[kind]
        loader.file(SLOT.format(slot), data)
    _, console = boot(loader)
    at = [console.find(s) for s in expected]
    assert -1 not in at and at == sorted(at), console
    if booted:
        assert f"application {booted} running" in console
    else:
        assert "running" not in console and "[board] reboot" in console
        assert ("Entering Rescue Mode." in console) == (slot1 == "kernel")


def test_kernel_then_application_in_one_file_boots_the_application(loader):
    loader.file(SLOT.format(1), component(KERNEL, b"k" * 1000) + app_image("1.0.0.9"))
    _, console = boot(loader)
    assert "application 1.0.0.9 running" in console


@pytest.mark.parametrize("rfs,lowsec,accepted,note", [
    ("secured", False, False, None),
    ("secured", True, True, "NOTE - low security mode is operational. Checking developer keys...."),
    ("developer", False, True, "NOTE - developer images operational. Checking developer keys...."),
])
def test_development_signed_image(loader, rfs, lowsec, accepted, note):
    if rfs == "secured":
        secured_rfs(loader)
    if lowsec:
        loader.file("/tmp/lowsec", "trelmock\n")
    loader.file(SLOT.format(1), app_image("1.0.0.1", key="development"))
    _, console = boot(loader)
    assert ("application 1.0.0.1 running" in console) == accepted
    if note:
        assert note in console
    if not accepted:
        assert " Image rejected. Image has invalid signature. Quitting\r\n" in console
        assert "Booting image '2'" in console


@pytest.mark.parametrize("reply,accepted", [("y", True), ("n", False)])
def test_unsigned_image_asks_on_a_developer_switch_in_low_security_mode(loader, reply, accepted):
    loader.file("/tmp/lowsec", "trelmock\n")
    loader.file(SLOT.format(1), app_image("1.0.0.2", key=None))
    # Refused, slot 2 is missing and the fallback offers slot 1 a second time.
    answers = [("Install image anyway? y/N? ", reply)] * (1 if accepted else 2)
    _, console = boot(loader, answer=answers)
    assert "WARNING: Image is unsigned but you are running developer images and are in low security mode" in console
    assert ("application 1.0.0.2 running" in console) == accepted


def test_unsigned_image_is_rejected_on_a_secured_switch(loader):
    secured_rfs(loader)
    loader.file(SLOT.format(1), app_image("1.0.0.3", key=None))
    _, console = boot(loader)
    assert " Image rejected as it has no signature" in console
    assert "running" not in console


def test_diagnostics_type_entry_launches_as_diagnostics(loader):
    payload = app_archive(files={"mpdiag.elf.strip": ("#!/bin/sh\necho diagnostics running\n", 0o755)})
    loader.file(SLOT.format(1), component(APPLICATION, payload, key="production", type_entry=DIAGNOSTICS))
    _, console = boot(loader)
    assert "install diags image" in console
    assert "diagnostics running" in console


@pytest.mark.parametrize("options,command", [
    (["gdbserver=on"], "gdbserver :1234 /tmp/home/bin/mp.elf.strip"),
    (["gdbserver=on", "gdbport=4000"], "gdbserver :4000 /tmp/home/bin/mp.elf.strip"),
    (["gdbserver=on", "memchk=on"], "gdbserver :1234 /tmp/home/bin/mp.elf.strip"),
])
def test_gdbserver_runs_the_application_and_reboots(loader, options, command):
    from test_boot import env_image
    loader.mtd("ubootenv", env_image(*options))
    loader.file(SLOT.format(1), app_image())
    dhcp = "Confirm: Use DHCP for network configuration? y/N: "
    _, console = boot(loader, answer=[(dhcp, "y\r")])
    cmds = loader.commands()
    assert command in cmds and cmds[-1] == "reboot", cmds
    assert ("libduma.so.0.0.0 loaded" in cmds) == ("memchk=on" in options)
    assert -1 < console.find(dhcp) < console.find("Booting image '1'")
    assert cmds.index("dhclient -1 eth0") < cmds.index(command)


@pytest.mark.parametrize("other,expected", [
    ("gzip", "*** Launching under GDB ***"),
    ("tar", "Unexpected format for GDB image.\r\n"),
    ("none", "Failed to open GDB image (from slot 2)\r\n"),
])
def test_gdb_is_taken_from_the_other_slot(loader, other, expected):
    from test_boot import env_image
    loader.mtd("ubootenv", env_image("gdb=on"))
    loader.file(SLOT.format(1), app_image())
    fake_gdb = b"#!/bin/sh\necho \"gdb runs $*\"\n"
    if other == "gzip":
        loader.file(SLOT.format(2), component(APPLICATION, gzip.compress(fake_gdb)))
    elif other == "tar":
        loader.file(SLOT.format(2), app_image("2.0.0.0"))
    _, console = boot(loader)
    assert expected in console
    if other == "gzip":
        assert "Extracting GDB from image slot 2" in console
        assert "gdb runs /tmp/home/bin/mp.elf.strip" in console
        assert loader.commands()[-1] == "reboot"
    else:
        assert "**** GDB mode selected but GDB not available. Please install GDB image ***" in console
        assert "application 1.0.0.0 running" in console


def test_memchk_preloads_the_checker(loader):
    from test_boot import env_image
    loader.mtd("ubootenv", env_image("memchk=on"))
    loader.file(SLOT.format(1), app_image())
    _, console = boot(loader)
    assert "libduma.so.0.0.0 loaded" in loader.commands()
    assert "application 1.0.0.0 running" in console
    assert loader.commands()[-1] == "reboot"


def test_shell_runs_before_the_application(loader):
    from test_boot import env_image
    loader.mtd("ubootenv", env_image("shell=on"))
    loader.file(SLOT.format(1), app_image())
    _, console = boot(loader, answer=[("Dropping into shell", "echo inside-shell; exit\n")])
    at = [console.find(s) for s in ("inside-shell", "Dropping out of shell", "application 1.0.0.0 running")]
    assert -1 not in at and at == sorted(at), console


def test_install_script_and_environment_pairs(loader):
    files = {
        "home/bin/install.sh": ("#!/bin/sh\necho install script ran\n", 0o755),
        "home/bin/env-setup": ("ALPHA one\nBETA two LONE\n", 0o644),
    }
    program = "#!/bin/sh\necho \"env ALPHA=$ALPHA BETA=$BETA LONE=${LONE-unset}.\"\n"
    payload = app_archive(program=program, files=files)
    loader.file(SLOT.format(1), component(APPLICATION, payload, key="production"))
    _, console = boot(loader)
    assert "Running install script" in console and "install script ran" in console
    assert "env ALPHA=one BETA=two LONE=." in console
