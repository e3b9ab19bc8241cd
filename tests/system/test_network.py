"""Management port dialogue, link test, TFTP rescue download and MAC address,
run through the rescue menu and the start-up (gdbserver=on) on the simulated board."""

import pytest

from harness import in_order, talk
from images import KERNEL, app_image, component, env_image
from tftp_server import start_in_netns

OPTION = "Option? : "
IP, MASK, GW, SERVER, FILE = "IP addr    :", "Netmask    :", "Gateway    :", "Server addr:", "Image Filename: "
DHCP = "Confirm: Use DHCP for network configuration? y/N: "
MAC = "MAC address (format nn:nn:nn:nn:nn:nn): "
BAD_IP = "Invalid IP address. Try again please\r\n"
NO_LINK = "Mgmt link not available. Quitting.\r\n"
STATIC = [(IP, "10.1.2.3"), (MASK, ""), (GW, ""), (SERVER, "127.0.0.1")]
# Shows the kernel's view of eth0 once the loader has gone.
DUMP = ["/bin/sh", "-c", "/bin/imgloader-sim; ifconfig eth0 >/board/net.txt 2>&1; route -n >>/board/net.txt 2>&1"]


def menu(board, letter, command=None, link_down=False):
    """Rescue menu first (empty slots: it comes once more before the reboot)."""
    board.config(["time_scale 0.01"] + (["link down"] if link_down else []))
    board.mtd("ubootenv", env_image("diagnostics=rescue"))
    child = board.start(command)
    talk(child, [(OPTION, letter)])
    return child


def leave(board):
    status, menus = board.leave_menus()
    assert (status, menus) == (0, 2)
    return board.console()


def net_state(board):
    return (board.read("/board/net.txt") or b"").decode()


@pytest.mark.parametrize("steps,shown,absent", [
    ([(IP, "q")], [], [SERVER]),
    ([(IP, "Quit")], [], [MASK]),
    ([(IP, ""), (IP, "q")], [BAD_IP], [MASK]),
    ([(IP, "0.1.2.3"), (IP, "q")], ["Invalid IP address 0.1.2.3. Try again please\r\n"], [MASK]),
    ([(IP, "10.0.0.2"), (MASK, "255.255.255.0"), (GW, "240.0.0.1"), (GW, "Q")],
     ["Invalid IP address 240.0.0.1. Try again please\r\n"], [SERVER]),
    ([(IP, "10.0.0.2"), (MASK, "nonsense"), (MASK, "q")], [BAD_IP], [GW]),
    ([(IP, "10.0.0.2"), (MASK, ""), (GW, ""), (SERVER, ""), (SERVER, "q")], [BAD_IP], [FILE]),
    ([(IP, "10.0.0.2"), (MASK, ""), (GW, ""), (SERVER, "127.0.0.1"), (FILE, "x"), (FILE, ""), (FILE, "q")],
     ["Invalid filename. Try again please\r\n" + FILE, "Invalid filename. Try again please\r\n"],
     ["Configuring management port"]),
    # Ctrl-C ends the line and the dialogue, whether a name was typed or not.
    (STATIC + [(FILE, "ab\x03")], [], ["Invalid filename", "Configuring management port"]),
    (STATIC + [(FILE, "\x03")], [], ["Invalid filename", "Configuring management port"]),
])
def test_tftp_dialogue_checks_and_quits(loader, steps, shown, absent):
    child = menu(loader, "t")
    talk(child, steps, end="\n")
    console = leave(loader)
    tail = console[console.index("Performing TFTP rescue."):]
    assert DHCP not in tail  # TFTP never offers DHCP
    assert all(text in tail for text in shown), tail
    assert not any(text in tail for text in absent + ["Installing image"]), tail
    assert loader.commands()[-1].startswith("reboot")


@pytest.mark.parametrize("answers,want,unwanted", [
    ([(DHCP, "n"), (IP, "10.9.8.7"), (MASK, "255.255.0.0"), (GW, "10.9.0.1")],
     ["inet addr:10.9.8.7", "Mask:255.255.0.0", "10.9.0.1"], []),
    ([(DHCP, "n"), (IP, "10.9.8.7"), (MASK, ""), (GW, "")], ["inet addr:10.9.8.7", "Mask:255.0.0.0"],
     ["\tNetmask", "\tGateway"]),
    ([(DHCP, "y")], [], [IP, "Configuring management port"]),
])
def test_static_or_dhcp_settings_at_start_up(loader, answers, want, unwanted):
    loader.mtd("ubootenv", env_image("gdbserver=on"))
    child = loader.start(DUMP)
    talk(child, answers, end="\n")
    dhcp = len(answers) == 1
    if not dhcp:
        child.expect_exact("Configuring management port..." + "." * 20 + "\r\n")
    loader.leave_menus()  # the menu the empty slots lead to
    console, state = loader.console(), net_state(loader)
    assert all(text in state for text in want), state
    assert not any(text in console for text in unwanted + [NO_LINK])
    gateway = answers[-1][1] if not dhcp else ""
    defaults = [line.split()[1] for line in state.splitlines() if line.startswith("0.0.0.0 ")]
    assert defaults == ([gateway] if gateway else []), state
    if gateway:
        assert f"\tNetmask    : {answers[2][1]}\r\n\tGateway    : {gateway}\r\n" in console
    assert [c for c in loader.commands() if c.startswith("dhclient")] == (["dhclient -1 eth0"] if dhcp else [])


# Ctrl-C at the DHCP question, or q at the address: the port is left alone and the boot goes on.
@pytest.mark.parametrize("answers", [[(DHCP, "\x03")], [(DHCP, "n"), (IP, "q")]])
def test_start_up_network_questions_left_early(loader, answers):
    loader.mtd("ubootenv", env_image("gdbserver=on"))
    loader.file("/user/images/image1", app_image())
    talk(loader.start(), answers, end="\n")
    loader.leave_menus()
    assert "Booting image '1'" in loader.console() and "Configuring management port" not in loader.console()
    assert not [c for c in loader.commands() if c.startswith(("ifconfig", "dhclient"))]


# An unplugged cable, or no eth0 at all (renamed before the loader starts).
@pytest.mark.parametrize("link_down,command,expected", [
    (True, None, NO_LINK),
    (False, ["/bin/sh", "-c", "ip link set eth0 down && ip link set eth0 name eth9 && exec /bin/imgloader-sim"],
     "Open Interface eth0 error.\r\n" + NO_LINK),
])
def test_no_link_ends_tftp_before_the_download(loader, link_down, command, expected):
    child = menu(loader, "t", command, link_down=link_down)
    talk(child, STATIC + [(FILE, "image.bin")], end="\n")
    child.expect_exact(expected)
    console = leave(loader)
    assert "Installing image" not in console and "Attempt" not in console


# busybox tftp leaves no file of a missing or broken transfer; a silent server costs about 13 s.
# The name must reach tftp as one word, never as shell text.
@pytest.mark.parametrize("faults,failed", [
    ([], 0), (["silent", "break"], 2), (["break"] * 3, 3), ("missing", 3),
])
def test_tftp_download_tries_three_times_then_installs_and_logs(loader, tmp_path, faults, failed):
    name = "a b';touch pwned;'$(touch pwned2).img"
    kernel = component(KERNEL, b"k" * 3000, key="production")  # six blocks
    root = tmp_path / "root"
    root.mkdir()
    if faults != "missing":
        (root / name).write_bytes(kernel)
    loader.rtc("2026-12-05 10:45:59")
    loader.file("/tmp/image", component(KERNEL, b"stale" * 100, key="production"))  # left by an earlier run
    child = menu(loader, "t")
    server = start_in_netns(child.pid, root, tmp_path / "requests.log", [] if faults == "missing" else faults)
    try:
        talk(child, STATIC + [(FILE, name)], end="\n")
        console = leave(loader)
    finally:
        server.kill()
    attempts, trying = min(failed + 1, 3), f"Installing image {name} from TFTP server 127.0.0.1\r\n"
    assert console.count(trying) == attempts
    for n in (1, 2, 3):
        assert (f"Attempt {n}/3 of tftp timed out\r\n" in console) == (n <= failed), console
    assert in_order(console, trying, *[f"Attempt {n}/3 of tftp timed out\r\n" for n in range(1, failed + 1)])
    assert (tmp_path / "requests.log").read_text().splitlines() == [name] * attempts
    assert not any("pwned" in path for path in loader.written())
    line = f"File {name} installed from 127.0.0.1 at 10:45:59 on 5-12-2026"
    if failed == 3:
        assert "Tftp download failed. Aborting\r\n" in console and "Installing Kernel" not in console
        assert loader.read("/tmp/image") is None and loader.read("/user/install.log") is None
        assert loader.read("/dev/mtd-kernel")[:len(kernel)] != kernel
    else:
        assert f"Updating install log. {line}" in console
        assert loader.read("/dev/mtd-kernel")[:len(kernel)] == kernel
        assert loader.install_log() == [line]


def test_mac_address_refused_then_accepted(loader):
    child = menu(loader, "m", command=DUMP)
    talk(child, [(MAC, "1:2:3:4:5:6;halt"), (MAC, "q"), (MAC, "1:2:3:4:5:6")], end="\n")
    talk(child, [(OPTION, "m")])
    talk(child, [(MAC, "2:4:6:8:a:c")], end="\n")
    console = leave(loader)
    assert console.count("Invalid MAC address. Try again please\r\n") == 2
    assert console.count(MAC) == 4
    assert "HWaddr 02:04:06:08:0A:0C" in net_state(loader)
    assert not any(c.startswith("halt") for c in loader.commands())
