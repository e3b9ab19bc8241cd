"""The start-up sequence on the simulated board, from power-on to the reboot."""

import pytest

from harness import MENU_PROMPT, SLOT, boot, in_order
from images import KERNEL, component, env_image


def no_boot_component(board):
    """Both slots hold a file without a boot component: each attempt fails at once."""
    for slot in (1, 2):
        board.file(SLOT.format(slot), component(KERNEL, b"k" * 64))


def test_cold_start_on_an_empty_board_walks_to_the_reboot(loader):
    status, console = boot(loader)
    assert status == 0
    assert in_order(console, "Booting image '1'\r\n", "Failed to open Application image 1. Trying image 2.\r\n",
                    "Failed to open Application image 2.\r\n", "Entering Rescue Mode.", "[board] reboot"), console
    assert "ERROR" not in console and "I2C error" not in console
    cmds = loader.commands()
    assert [c.split()[0] for c in cmds] == ["date", "mount", "summary-scan", "reboot"], cmds
    assert cmds[1] == "mount -o sync -t jffs2 /dev/mtd-user /user"


def test_date_is_set_from_the_board_clock(loader):
    loader.rtc("2026-12-05 10:45:59")
    boot(loader)
    assert loader.commands()[0] == "date 120510452026.59"


@pytest.mark.parametrize("selection,order", [
    (b"\x02", "21"), (b"\x01", "12"), (b"\x00", "12"), (b"\x03", "12"), (b"\xff", "12"),
])
def test_boot_image_selection_orders_the_slots(loader, selection, order):
    loader.eeprom(256, selection)
    no_boot_component(loader)
    _, console = boot(loader)
    assert [l for l in console.splitlines() if l.startswith("Booting image")] == [
        f"Booting image '{n}'" for n in order]


def test_missing_i2c_adapter_is_reported_and_start_up_goes_on(loader):
    loader.remove("/dev/i2c-0")
    no_boot_component(loader)
    status, console = boot(loader)
    assert status == 0
    assert console.startswith("ERROR: driver /dev/i2c-0 couldn't be opened\r\n"), console
    # Bus 1 stays unopened: the EEPROM reads fail, select slot 1 and leave USB off.
    assert "I2C error when setting bus 1, device 0xa4: 9" in console
    assert in_order(console, "Booting image '1'", "Booting image '2'", "[board] reboot")
    cmds = loader.commands()
    assert not any(c.startswith("date") for c in cmds), "no clock: the date is left alone"
    assert cmds[-1] == "reboot"


@pytest.mark.parametrize("status_file,marker,message", [
    ("0", False, False), ("3", False, True), ("3", True, False),
])
def test_summary_scan(loader, status_file, marker, message):
    loader.file("/board/summary-scan.status", status_file + "\n")
    if marker:
        loader.file("/user/summary-updated", "")
    _, console = boot(loader)
    assert any(c.startswith("summary-scan") for c in loader.commands()) == (not marker)
    assert ("ERROR updating file system. Reboot recommended\r\n" in console) == message


def test_shell_after_the_rescue_menu_then_reboot(loader):
    loader.mtd("ubootenv", env_image("shell=on"))
    child = loader.start()
    child.expect_exact(MENU_PROMPT)
    child.send("e")
    child.send("echo in-$((1+1))-shell; exit\n")
    loader.wait()
    assert in_order(loader.console(), "Failed to open Application image 2.\r\n", "in-2-shell", "[board] reboot")


def test_key_file_that_cannot_be_loaded_is_reported_at_start_up(loader):
    loader.file("/user/production_key.pub.pem", "k" * 501)
    _, console = boot(loader)
    assert in_order(console, "ERROR loading key as length too long 501 > 500\r\n",
                    "WARNING - problem with security keys. No keys found\r\n", "Booting image '1'"), console
