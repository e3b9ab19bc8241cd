"""The start-up sequence on the simulated board, from power-on to the reboot."""

import zlib

import pytest

from images import KERNEL, component

ENV_SIZE = 0x20000 + 4


def env_image(*entries, size=256 * 1024):
    """An environment partition as the boot loader writes it: CRC word, NUL-terminated
    entries, an empty entry at the end, then erased flash."""
    data = b"".join(e.encode() + b"\0" for e in entries) + b"\0"
    data = data.ljust(ENV_SIZE - 4, b"\0")
    image = zlib.crc32(data).to_bytes(4, "little") + data
    return image.ljust(size, b"\xff")


def boot(board, timeout=30):
    board.start(timeout=timeout)
    status, _ = board.leave_menus(timeout)
    return status, board.console()


def positions(text, *needles):
    """Index of each needle in text, in order of search; -1 when missing."""
    return [text.find(n) for n in needles]


def no_boot_component(board):
    """Both slots hold a file without a boot component: each attempt fails at once."""
    for slot in (1, 2):
        board.file(f"/user/images/image{slot}", component(KERNEL, b"k" * 64))


def test_cold_start_on_an_empty_board_walks_to_the_reboot(loader):
    status, console = boot(loader)
    assert status == 0
    at = positions(console, "Booting image '1'\r\n", "Failed to open Application image 1. Trying image 2.\r\n",
                   "Failed to open Application image 2.\r\n", "[board] reboot")
    assert -1 not in at and at == sorted(at), console
    assert "ERROR" not in console and "I2C error" not in console
    cmds = loader.commands()
    names = [c.split()[0] for c in cmds]
    assert names == ["date", "mount", "summary-scan", "reboot"], cmds
    assert cmds[1] == "mount -o sync -t jffs2 /dev/mtd-user /user"


def test_date_is_set_from_the_board_clock(loader):
    loader.rtc("2026-12-05 10:45:59")
    boot(loader)
    assert loader.commands()[0] == "date 120510452026.59"


@pytest.mark.parametrize("selection,first,second", [
    (b"\x02", "1", None), (b"\x01", "1", "2"), (b"\x00", "1", "2"), (b"\x03", "1", "2"), (b"\xff", "1", "2"),
])
def test_boot_image_selection_orders_the_slots(loader, selection, first, second):
    if selection == b"\x02":
        first, second = "2", "1"
    loader.eeprom(256, selection)
    no_boot_component(loader)
    _, console = boot(loader)
    lines = [l for l in console.splitlines() if l.startswith("Booting image")]
    assert lines == [f"Booting image '{first}'", f"Booting image '{second}'"]


def test_missing_i2c_adapter_is_reported_and_start_up_goes_on(loader):
    loader.remove("/dev/i2c-0")
    no_boot_component(loader)
    status, console = boot(loader)
    assert status == 0
    assert console.startswith("ERROR: driver /dev/i2c-0 couldn't be opened\r\n"), console
    # Bus 1 stays unopened: the EEPROM reads fail, select slot 1 and leave USB off.
    assert "I2C error when setting bus 1, device 0xa4: 9" in console
    at = positions(console, "Booting image '1'", "Booting image '2'", "[board] reboot")
    assert -1 not in at and at == sorted(at)
    cmds = loader.commands()
    assert not any(c.startswith("date") for c in cmds), "no clock: the date is left alone"
    assert cmds[-1] == "reboot"


DHCP = "Confirm: Use DHCP for network configuration? y/N: "


@pytest.mark.parametrize("entries,shown,hidden", [
    (("bootdelay=3", "diagnostics=rescue"), "Entering Rescue Mode.", "Booting diags image..."),
    (("diagnostics=diags",), "Booting diags image...", "Entering Rescue Mode."),
    (("gdb=off", "gdbserver=on", "gdbport=4000"), DHCP, "Entering Rescue Mode."),
    (("bootargs=console=ttyS0 xgdbserver=on",), DHCP, "Entering Rescue Mode."),
    (("gdbserver=On",), None, DHCP),
])
def test_boot_options_come_from_the_environment_partition(loader, entries, shown, hidden):
    loader.mtd("ubootenv", env_image(*entries))
    no_boot_component(loader)
    child = loader.start()
    if "diagnostics=diags" in entries:
        child.expect_exact("y/N: ")
        child.send("n")
    if shown == DHCP:
        child.expect_exact(DHCP)
        child.send("y\r")
    loader.leave_menus()
    console = loader.console()
    first_boot = console.find("Booting image")
    assert first_boot != -1
    if shown:
        assert -1 < console.find(shown) < first_boot, console
    # Both slots fail, so the rescue menu comes once more at the very end.
    assert hidden not in console[:first_boot]


@pytest.mark.parametrize("status_file,marker,message", [
    ("0", False, False), ("3", False, True), ("3", True, False),
])
def test_summary_scan(loader, status_file, marker, message):
    loader.file("/board/summary-scan.status", status_file + "\n")
    if marker:
        loader.file("/user/summary-updated", "")
    _, console = boot(loader)
    ran = any(c.startswith("summary-scan") for c in loader.commands())
    assert ran == (not marker)
    assert ("ERROR updating file system. Reboot recommended\r\n" in console) == message
