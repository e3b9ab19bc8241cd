"""Management port dialogue, link test, TFTP rescue download and MAC address,
run through the rescue menu and the start-up (gdbserver=on) on the simulated board."""

import pytest

from images import KERNEL, component
from test_boot import env_image
from tftp_server import start_in_netns

OPTION = "Option? : "
IP, MASK, GW, SERVER, FILE = "IP addr    :", "Netmask    :", "Gateway    :", "Server addr:", "Image Filename: "
DHCP = "Confirm: Use DHCP for network configuration? y/N: "
MAC = "MAC address (format nn:nn:nn:nn:nn:nn): "
BAD_IP = "Invalid IP address. Try again please\r\n"
NO_LINK = "Mgmt link not available. Quitting.\r\n"
# Shows the kernel's view of eth0 once the loader has gone.
DUMP = ["/bin/sh", "-c", "/bin/imgloader-sim; ifconfig eth0 >/board/net.txt 2>&1; route -n >>/board/net.txt 2>&1"]


def start_in_board(board, root, log, faults=()):
    return start_in_netns(board.child.pid, root, log, faults)


def talk(child, steps):
    for prompt, reply in steps:
        child.expect_exact(prompt)
        child.send(reply if prompt == OPTION else reply + "\n")  # the menu takes single keys


def menu(board, letter, command=None, link_down=False):
    board.config(["time_scale 0.01"] + (["link down"] if link_down else []))
    board.mtd("ubootenv", env_image("diagnostics=rescue"))
    child = board.start(command)
    talk(child, [(OPTION, letter)])
    return child


def leave(board, child):
    """Back at the menu: exit it, and the menu the empty slots lead to, to the reboot."""
    talk(child, [(OPTION, "e"), (OPTION, "e")])
    board.wait()
    return board.console()


def net_state(board):
    return (board.read("/board/net.txt") or b"").decode()


STATIC = [(IP, "10.1.2.3"), (MASK, ""), (GW, ""), (SERVER, "127.0.0.1")]


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
     ["Configuring management port", "Installing image"]),
])
def test_tftp_dialogue_checks_and_quits(loader, steps, shown, absent):
    child = menu(loader, "t")
    talk(child, steps)
    console = leave(loader, child)
    tail = console[console.index("Performing TFTP rescue."):]
    assert DHCP not in tail  # TFTP never offers DHCP
    for text in shown:
        assert text in tail
    for text in absent:
        assert text not in tail
    assert "Installing image" not in tail and loader.commands()[-1].startswith("reboot")


@pytest.mark.parametrize("mask,gateway,want,unwanted", [
    ("255.255.0.0", "10.9.0.1", ["inet addr:10.9.8.7", "Mask:255.255.0.0", "10.9.0.1"], []),
    ("", "", ["inet addr:10.9.8.7", "Mask:255.0.0.0"], ["\tNetmask", "\tGateway"]),
])
def test_static_settings_at_start_up(loader, mask, gateway, want, unwanted):
    loader.mtd("ubootenv", env_image("gdbserver=on"))
    child = loader.start(DUMP)
    talk(child, [(DHCP, "n"), (IP, "10.9.8.7"), (MASK, mask), (GW, gateway)])
    child.expect_exact("Configuring management port..." + "." * 20 + "\r\n")
    talk(child, [(OPTION, "e")])  # the menu the empty slots lead to
    loader.wait()
    console, state = loader.console(), net_state(loader)
    for text in want:
        assert text in state, state
    for text in unwanted:
        assert text not in console
    defaults = [line.split()[1] for line in state.splitlines() if line.startswith("0.0.0.0 ")]
    assert defaults == ([gateway] if gateway else []), state
    if gateway:
        assert f"\tNetmask    : {mask}\r\n\tGateway    : {gateway}\r\n" in console
    assert NO_LINK not in console and not any(c.startswith("dhclient") for c in loader.commands())


def test_dhcp_at_start_up_runs_dhclient_only(loader):
    loader.mtd("ubootenv", env_image("gdbserver=on"))
    child = loader.start()
    talk(child, [(DHCP, "y"), (OPTION, "e")])
    loader.wait()
    console = loader.console()
    assert IP not in console and "Configuring management port" not in console and NO_LINK not in console
    assert "dhclient -1 eth0" in loader.commands()


def test_link_down_ends_tftp_before_the_download(loader, tmp_path):
    child = menu(loader, "t", link_down=True)
    talk(child, STATIC + [(FILE, "image.bin")])
    child.expect_exact(NO_LINK)
    console = leave(loader, child)
    assert "Installing image" not in console and "Attempt" not in console


def test_failed_tftp_tries_three_times_and_quotes_the_name(loader, tmp_path):
    name = "a b';touch /tmp/pwned;'$(touch /tmp/pwned2)"
    loader.file("/tmp/image", component(KERNEL, b"stale" * 100, key="production"))  # left by an earlier run
    child = menu(loader, "t")
    talk(child, STATIC[:-1])
    server = start_in_board(loader, tmp_path, tmp_path / "requests.log")
    try:
        talk(child, [STATIC[-1], (FILE, name)])
        child.expect_exact("Tftp download failed. Aborting\r\n")
        console = leave(loader, child)
    finally:
        server.kill()
    tries = [f"Installing image {name} from TFTP server 127.0.0.1\r\n",
             *[f"Attempt {n}/3 of tftp timed out\r\n" for n in (1, 2, 3)]]
    at = [console.find(t) for t in tries]
    assert -1 not in at and at == sorted(at), console
    assert console.count(tries[0]) == 3
    assert (tmp_path / "requests.log").read_text().splitlines() == [name] * 3
    assert loader.read("/tmp/pwned") is None and loader.read("/tmp/pwned2") is None
    assert loader.read("/tmp/image") is None and "Installing Kernel" not in console
    assert loader.read("/user/install.log") is None


# busybox tftp leaves no file of a broken transfer; a silent server costs about 13 s.
@pytest.mark.parametrize("faults,failed", [([], 0), (["silent", "break"], 2), (["break"] * 3, 3)])
def test_tftp_download_is_installed_and_logged(loader, tmp_path, faults, failed):
    name = "new kernel.img"
    kernel = component(KERNEL, b"k" * 3000, key="production")  # six blocks
    (tmp_path / name).write_bytes(kernel)
    loader.rtc("2026-12-05 10:45:59")
    child = menu(loader, "t")
    server = start_in_board(loader, tmp_path, tmp_path / "requests.log", faults)
    try:
        talk(child, STATIC + [(FILE, name)])
        console = leave(loader, child)
    finally:
        server.kill()
    for n in (1, 2, 3):
        assert (f"Attempt {n}/3 of tftp timed out" in console) == (n <= failed), console
    line = f"File {name} installed from 127.0.0.1 at 10:45:59 on 5-12-2026"
    if failed == 3:
        assert "Tftp download failed. Aborting\r\n" in console
        assert loader.read("/tmp/image") is None and loader.read("/user/install.log") is None
        assert loader.read("/dev/mtd-kernel")[:len(kernel)] != kernel
        return
    assert f"Updating install log. {line}" in console
    assert loader.read("/dev/mtd-kernel")[:len(kernel)] == kernel
    assert loader.read("/user/install.log").decode().splitlines() == [line]


def test_mac_address_refused_then_accepted(loader):
    child = menu(loader, "m", command=DUMP)
    talk(child, [(MAC, "1:2:3:4:5:6;halt"), (MAC, "q"), (MAC, "1:2:3:4:5:6"), (OPTION, "m"),
                 (MAC, "2:4:6:8:a:c")])
    console = leave(loader, child)
    assert console.count("Invalid MAC address. Try again please\r\n") == 2
    assert console.count(MAC) == 4
    assert "HWaddr 02:04:06:08:0A:0C" in net_state(loader)
    assert not any(c.startswith("halt") for c in loader.commands())
