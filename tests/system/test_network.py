"""Management port questions, link test, TFTP download and MAC address, from the rescue menu and at start-up."""

import pytest

from harness import in_order, talk
from images import KERNEL, app_image, component, env_image
from tftp_server import start_in_netns

OPTION = "Option? : "
IP, MASK, GW, SERVER, FILE = "IP addr    :", "Netmask    :", "Gateway    :", "Server addr:", "Image Filename: "
DHCP = "Confirm: Use DHCP for network configuration? y/N: "
MAC = "MAC address (format nn:nn:nn:nn:nn:nn): "
BAD_IP, BAD_FILE = "Invalid IP address. Try again please\r\n", "Invalid filename. Try again please\r\n"
NO_LINK, CONFIGURING = "Mgmt link not available. Quitting.\r\n", "Configuring management port"
STATIC = [(IP, "10.1.2.3"), (MASK, ""), (GW, ""), (SERVER, "127.0.0.1")]
# the kernel's view of eth0 once the loader has gone
DUMP = ["/bin/sh", "-c", "/bin/imgloader-sim; ifconfig eth0 >/board/net.txt 2>&1; route -n >>/board/net.txt 2>&1"]


def menu(board, letter, command=None):
    """The rescue menu first; with empty slots it comes once more before the reboot."""
    board.mtd("ubootenv", env_image("diagnostics=rescue"))
    child = board.start(command)
    talk(child, [(OPTION, letter)])
    return child


def leave(board):
    assert board.leave_menus() == (0, 2)
    return board.console()


# An unplugged cable, or no eth0 at all, ends TFTP before the download.
NO_PEER = ["/bin/sh", "-c", "ip link set eth0-peer down && exec /bin/imgloader-sim"]
NO_ETH0 = ["/bin/sh", "-c", "ip link set eth0 down && ip link set eth0 name eth9 && exec /bin/imgloader-sim"]


@pytest.mark.parametrize("steps,shown,absent,command", [
    ([(IP, "q")], [], [SERVER], None),
    ([(IP, "Quit")], [], [MASK], None),
    ([(IP, ""), (IP, "q")], [BAD_IP], [MASK], None),
    ([(IP, "0.1.2.3"), (IP, "q")], ["Invalid IP address 0.1.2.3. Try again please\r\n"], [MASK], None),
    ([(IP, "10.0.0.2"), (MASK, "255.255.255.0"), (GW, "240.0.0.1"), (GW, "Q")],
     ["Invalid IP address 240.0.0.1. Try again please\r\n"], [SERVER], None),
    ([(IP, "10.0.0.2"), (MASK, "nonsense"), (MASK, "q")], [BAD_IP], [GW], None),
    ([(IP, "10.0.0.2"), (MASK, ""), (GW, ""), (SERVER, ""), (SERVER, "q")], [BAD_IP], [FILE], None),
    (STATIC + [(FILE, "x"), (FILE, ""), (FILE, "q")], [BAD_FILE + FILE, BAD_FILE], [CONFIGURING], None),
    # Ctrl-C ends the line and the dialogue, whether a name was typed or not
    (STATIC + [(FILE, "ab\x03")], [], ["Invalid filename", CONFIGURING], None),
    (STATIC + [(FILE, "\x03")], [], ["Invalid filename", CONFIGURING], None),
    (STATIC + [(FILE, "image.bin")], [NO_LINK], ["Attempt"], NO_PEER),
    (STATIC + [(FILE, "image.bin")], ["Open Interface eth0 error.\r\n" + NO_LINK], ["Attempt"], NO_ETH0),
])
def test_tftp_dialogue_checks_and_quits(loader, steps, shown, absent, command):
    talk(menu(loader, "t", command), steps, end="\n")
    console = leave(loader)
    tail = console[console.index("Performing TFTP rescue."):]
    assert in_order(tail, *shown), tail
    assert not any(text in tail for text in absent + ["Installing image", DHCP]), tail  # TFTP never offers DHCP
    assert loader.commands()[-1].startswith("reboot")


# gdbserver=on asks at start-up; Ctrl-C or q leaves the port alone and the boot goes on. Shown on the console,
# the kernel's view of eth0 and its routes (spaces folded) afterwards, and what must not be there.
@pytest.mark.parametrize("answers,shown,state,absent", [
    ([(DHCP, "n"), (IP, "10.9.8.7"), (MASK, "255.255.0.0"), (GW, "10.9.0.1")],
     [CONFIGURING + "." * 23 + "\r\n", "\tNetmask    : 255.255.0.0\r\n\tGateway    : 10.9.0.1\r\n"],
     ["inet addr:10.9.8.7", "Mask:255.255.0.0", "0.0.0.0 10.9.0.1 0.0.0.0 UG"], ["dhclient"]),
    ([(DHCP, "n"), (IP, "10.9.8.7"), (MASK, ""), (GW, "")], [CONFIGURING + "." * 23 + "\r\n"],
     ["inet addr:10.9.8.7", "Mask:255.0.0.0"], ["\tNetmask", "\tGateway", " UG ", "dhclient"]),
    ([(DHCP, "y")], [], [], [IP, CONFIGURING, "inet addr", " UG ", "ifconfig"]),
    ([(DHCP, "\x03")], [], [], [IP, CONFIGURING, "inet addr", " UG ", "ifconfig", "dhclient"]),
    ([(DHCP, "n"), (IP, "q")], [IP], [], [CONFIGURING, "inet addr", " UG ", "ifconfig", "dhclient"]),
])
def test_start_up_network_settings(loader, answers, shown, state, absent):
    loader.mtd("ubootenv", env_image("gdbserver=on"))
    talk(loader.start(DUMP), answers, end="\n")
    loader.leave_menus()
    net = " ".join((loader.read("/board/net.txt") or b"").decode().split())
    console = loader.console() + net + "\n".join(loader.commands())
    assert all(text in console for text in shown + state) and "Booting image '1'" in console, console
    assert not any(text in console for text in absent + [NO_LINK]), console
    assert ("dhclient -1 eth0" in loader.commands()) == (answers == [(DHCP, "y")])


# busybox tftp leaves no file of a failed transfer; a silent server costs about 13 s.
# The name must reach tftp as one word, never as shell text.
@pytest.mark.parametrize("faults,failed", [([], 0), (["silent", "break"], 2), (["break"] * 3, 3), ("missing", 3)])
def test_tftp_download_tries_three_times_then_installs_and_logs(loader, tmp_path, faults, failed):
    name = "a b';touch pwned;'$(touch pwned2).img"
    kernel = component(KERNEL, b"k" * 3000, key="production")  # six blocks
    (tmp_path / "root").mkdir()
    if faults != "missing":
        (tmp_path / "root" / name).write_bytes(kernel)
    loader.rtc("2026-12-05 10:45:59")
    loader.file("/tmp/image", component(KERNEL, b"stale" * 100, key="production"))  # left by an earlier run
    child = menu(loader, "t")
    server = start_in_netns(child.pid, tmp_path / "root", tmp_path / "log", [] if faults == "missing" else faults)
    try:
        talk(child, STATIC + [(FILE, name)], end="\n")
        console = leave(loader)
    finally:
        server.kill()
    attempts, trying = min(failed + 1, 3), f"Installing image {name} from TFTP server 127.0.0.1\r\n"
    timeouts = [f"Attempt {n}/3 of tftp timed out\r\n" for n in (1, 2, 3)]
    assert console.count(trying) == attempts and in_order(console, trying, *timeouts[:failed])
    assert not any(t in console for t in timeouts[failed:])
    assert (tmp_path / "log").read_text().splitlines() == [name] * attempts
    assert not any("pwned" in path for path in loader.written())
    line = f"File {name} installed from 127.0.0.1 at 10:45:59 on 5-12-2026"
    assert (loader.read("/dev/mtd-kernel")[:len(kernel)] == kernel) == (failed < 3)
    if failed == 3:
        assert "Tftp download failed. Aborting\r\n" in console and "Installing Kernel" not in console
        assert loader.read("/tmp/image") is None and loader.read("/user/install.log") is None
    else:
        assert f"Updating install log. {line}" in console and loader.install_log() == [line]


def test_mac_address_refused_then_accepted(loader):
    child = menu(loader, "m", command=DUMP)
    talk(child, [(MAC, "1:2:3:4:5:6;halt"), (MAC, "q"), (MAC, "1:2:3:4:5:6")], end="\n")
    talk(child, [(OPTION, "m")])
    talk(child, [(MAC, "2:4:6:8:a:c")], end="\n")
    console = leave(loader)
    assert console.count("Invalid MAC address. Try again please\r\n") == 2 and console.count(MAC) == 4
    assert "HWaddr 02:04:06:08:0A:0C" in loader.read("/board/net.txt").decode()
    assert not any(c.startswith("halt") for c in loader.commands())
