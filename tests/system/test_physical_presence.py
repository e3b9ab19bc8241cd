"""Physical presence by the blinking location LED, low-security mode and the key wipe."""

import pytest

from harness import MENU, MENU_PROMPT, enter_menu, exit_menu

START = "Do you wish to continue y/N? "
HIT = "Hit a key to start the test. The blue location LED will blink a number of times.\r\n"
ASK = "How many times did the LED blink? "
DISABLE = "Switch is in low security mode. Confirm disabling Y/n? "
LED_REGISTER = 5


def presence_board(board, seconds, led=0xA6):
    board.rtc(f"2026-12-05 10:45:{seconds:02d}")
    cpld = bytearray(256)
    cpld[LED_REGISTER] = led  # bits 7..2 must survive the test
    board.file("/board/cpld.bin", bytes(cpld))


def start_test(board):
    child = enter_menu(board)
    child.send("p")
    child.expect_exact(START)
    child.send("y")
    child.expect_exact("y\r\n" + HIT)
    return child


def attempt(child, answer):
    child.send(" ")
    child.expect_exact(ASK)
    dots = child.before.count(".")
    child.sendline(answer)
    return dots


def led_values(board):
    return [int(line.split()[1], 16) for line in board.led_log()]


@pytest.mark.parametrize("seconds,count,answer", [
    (0, 1, "1"), (10, 1, "1"), (59, 14, "14"), (35, 8, "8"), (14, 5, "5abc"),
])
def test_right_answer_enables_low_security_mode(loader, seconds, count, answer):
    presence_board(loader, seconds)
    child = start_test(loader)
    dots = attempt(child, answer)
    exit_menu(loader, child, "Correct. Physical presence established and low security mode enabled\r\n")
    assert dots == max(count, 11)
    assert loader.read("/tmp/lowsec") == b"trelmock\n"
    values = led_values(loader)
    assert values.count(0xA4) == count  # blink state, upper bits kept
    assert set(values) == {0xA4, 0xA5} and values[0] == 0xA5 and values[-1] == 0xA5
    assert len(values) == 1 + 2 * max(count, 11)


def test_three_wrong_answers_reboot(loader):
    presence_board(loader, 23)  # five blinks
    child = start_test(loader)
    for n, answer in enumerate(["", " 5", "+5"], start=1):  # only leading digits count
        attempt(child, answer)
        child.expect_exact(f"Incorrect. Try again (attempt {n} of 3)\r\n")
        if n < 3:
            child.expect_exact(HIT)
    child.expect_exact("Maximum number of test failed. Board is resetting\r\n")
    loader.wait()
    assert "[board] reboot" in loader.console()
    assert loader.read("/tmp/lowsec") is None
    values = led_values(loader)
    assert values.count(0xA4) == 15 and values[-1] == 0xA5


@pytest.mark.parametrize("how", ["ctrl-c while blinking", "start declined"])
def test_leaving_the_test_early_changes_nothing(loader, how):
    presence_board(loader, 59)
    if how == "start declined":
        child = enter_menu(loader)
        child.send("p")
        child.expect_exact(START)
        child.send("n")
        console = exit_menu(loader, child, "n\r\n")
        assert HIT not in console and loader.led_log() == []
    else:
        child = start_test(loader)
        child.send(" ")
        child.expect_exact(".")
        child.send("\x03")
        console = exit_menu(loader, child)
        assert led_values(loader)[-1] == 0xA5
    assert ASK not in console and loader.read("/tmp/lowsec") is None


# The boot override keeps the mode on whatever the answer; only the marker can go.
@pytest.mark.parametrize("override,key,again", [
    (False, "n", DISABLE), (False, "N", DISABLE), (False, "y", START), (False, "x", START), (True, "y", DISABLE),
])
def test_disable_question(loader, override, key, again):
    note = "NOTE: Uboot low security mode override enabled\r\n" if override else ""
    if not override:
        loader.file("/tmp/lowsec", "trelmock\n")
    child = enter_menu(loader, "lowsec=authorised" if override else None)
    child.send("p")
    child.expect_exact(note + DISABLE)
    child.send(key)
    child.expect_exact(key + "\r\n" + MENU + MENU_PROMPT)
    child.send("p")
    child.expect_exact(note + again if again == DISABLE else again)
    child.send("\x03")
    child.expect_exact(MENU_PROMPT)
    child.send("e")
    loader.wait()
    assert (loader.read("/tmp/lowsec") is not None) == (again == DISABLE and not override)


@pytest.mark.parametrize("key,wiped", [("y", True), ("Y", True), ("n", False), ("\r", False)])
def test_key_wipe(loader, key, wiped):
    loader.file("/user/extra.pem", "x")
    child = enter_menu(loader)
    child.send("k")
    child.expect_exact("Confirm: wiping system keys y/N: ")
    child.send(key)
    console = exit_menu(loader, child, "\r\n")
    assert ("System keys have been deleted. Reset the switch to complete the operation" in console) == wiped
    assert (loader.read("/user/extra.pem") is None) == wiped
