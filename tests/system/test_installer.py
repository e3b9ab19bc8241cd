"""Installing packages from a USB stick: per-type checks and destinations, the
slot prompt, same-version skips, the install log and the atomic slot write."""

import re
import shutil
import struct
from pathlib import Path

import pytest

from harness import SLOT, boot, in_order, usb_stick
from images import (APPLICATION, DFT, DIAGNOSTICS, KERNEL, NOS_APPLICATION, RFS, UBOOT, app_image, component,
                    jamcrc)

BOOT = "KPX4190_Boot.img"
REPLACE = "KPX4190_replace{}_OS.img"
EXTRACTING = "\r\nExtracting images ... Do *NOT* power cycle the switch.\r\n"
NO_IMAGE = "ERROR: No valid image found\r\n"
SLOT_PROMPT = "Install image as image 1 or 2 (hit return to just boot image): "
NOS_PROMPT = "Install image as image 1 or 2 (q to quit): "
SAME = "Image has same version as existing image. Skipping update...\r\n"

# type: (announcement, bad-CRC name, partition, signed, payload only)
ROWS = {
    UBOOT: ("Installing Boot Loader: ", "UBOOT", "uboot", False, True),
    KERNEL: ("Installing Kernel: ", "KERNEL", "kernel", True, False),
    RFS: ("Installing Root Filesystem: ", "RFS", "rfs", True, False),
    DFT: ("Installing Device Tree: ", "DFT", "devicetree", True, False),
    DIAGNOSTICS: ("Installing Diagnostics: ", "DIAGNOSTICS IMAGE", "rescue", False, False),
    APPLICATION: ("Installing Application: ", "APPLICATION", None, True, False),
    NOS_APPLICATION: ("Installing T-VEX application: ", "T-VEX APPLICATION", None, False, False),
}


def flash_component(ctype, payload, version="1.0.0.0", fmt=None):
    return component(ctype, payload, version=version, fmt=fmt, key="production" if ROWS[ctype][3] else None)


@pytest.mark.parametrize("ctype", [UBOOT, KERNEL, RFS, DFT, DIAGNOSTICS])
def test_flash_component_reaches_its_partition(loader, ctype):
    announce, _, part, signed, payload_only = ROWS[ctype]
    # The boot loader's payload exactly at its 512 KiB limit.
    payload = bytes(range(256)) * (2048 if ctype == UBOOT else 40)
    comp = flash_component(ctype, payload, "2.1.0.7")
    usb_stick(loader, {BOOT: comp})
    _, console = boot(loader)
    verdict = " Image signature verified. " if signed else ""
    assert in_order(console, EXTRACTING, announce + verdict, f"File /mnt/usb/{BOOT} installed from USB",
                    "[board] reboot"), console
    expected = payload if payload_only else comp
    assert loader.read(f"/dev/mtd-{part}")[:len(expected)] == expected
    if ctype == UBOOT:  # a plain header, kept beside the partition
        assert loader.read("/user/images/uboot-hdr") == comp[:16]
    assert ("done\r\n" in console) == (ctype == DIAGNOSTICS)
    assert len(loader.install_log()) == 1


def bad_crc(ctype):
    comp = bytearray(component(ctype, b"payload-bytes" * 30))
    comp[-1] ^= 0x01
    announce, name = ROWS[ctype][:2]
    return bytes(comp), f"{announce}Bad crc for {name}: 0x{jamcrc(bytes(comp[4:])):08x}, voiding download"


def sized(ctype, size):
    """A component of exactly size bytes (payload size for UBOOT)."""
    if ctype == UBOOT:
        return component(UBOOT, b"u" * size)
    return flash_component(ctype, b"d" * (size - len(flash_component(ctype, b""))))


# Each refusal ends the call with 0: no log line. Lambdas: signing runs openssl.
REFUSALS = {f"crc-{ROWS[t][1]}": (lambda t=t: bad_crc(t), None) for t in ROWS} | {
    "shorter-than-header": (lambda: (struct.pack(">IIIIHH", 0, 0, KERNEL | 0x80000000, 0, 0, 2) + b"\0" * 8,
                                     "Installing Kernel: Bad crc for KERNEL: 0xffffffff, voiding download"), None),
    "past-the-end": (lambda: (struct.pack(">IIII", 0, 4000, RFS, 1) + b"x" * 40,
                              f"Bad crc for RFS: 0x{jamcrc(struct.pack('>III', 4000, RFS, 1) + b'x' * 40):08x}"), None),
    "uboot-too-big": (lambda: (sized(UBOOT, 0x80001),
                               "Installing Boot Loader: UBOOT image is too big for flash (524289 > 524288)"), None),
    "dft-too-big": (lambda: (sized(DFT, 0x40001),
                             "Installing Device Tree: DFT image is too big for flash (262145 > 262144)"), None),
    # At the limit the size check passes; the 128 KiB partition then refuses the write.
    "dft-at-limit": (lambda: (sized(DFT, 0x40000), "DFT image update failed\r\n"), None),
    "unsigned": (lambda: (component(KERNEL, b"k" * 500),
                          "Installing Kernel:  Image rejected as it has no signature\r\n"), None),
    "write-fails": (lambda: (flash_component(KERNEL, b"k" * 5000), "kernel image update failed\r\n"),
                    "fail kernel write 1"),
}


@pytest.mark.parametrize("case", list(REFUSALS))
def test_refusals(loader, case):
    build, fault = REFUSALS[case]
    pkg, message = build()
    if fault:
        loader.config(["time_scale 0.01", fault])
    usb_stick(loader, {BOOT: pkg})
    _, console = boot(loader)
    assert message in console
    assert loader.install_log() == [] and NO_IMAGE not in console


@pytest.mark.parametrize("ctype,fmt,differ,skipped", [
    (UBOOT, "plain", "crc", True),        # the copy at 240 carries no CRC of its own
    (UBOOT, "plain", "id", False),
    (KERNEL, None, None, True),
    (KERNEL, None, "crc", False),
    (DIAGNOSTICS, "extended", None, True),  # looked up under the type without bit 31
    (DIAGNOSTICS, "extended", "crc", False),
])
def test_same_version_skip(loader, ctype, fmt, differ, skipped):
    comp = flash_component(ctype, b"v" * 3000, "3.1.4.1", fmt=fmt)
    installed = bytearray(comp[:16])
    if differ == "crc":
        installed[0] ^= 0xFF
    elif differ == "id":
        installed[15] ^= 0x01
    loader.mtd(ROWS[ctype][2], bytes(installed), offset=240 if ctype == UBOOT else 0)
    usb_stick(loader, {BOOT: comp})
    _, console = boot(loader)
    assert (SAME in console) == skipped
    if skipped:
        assert NO_IMAGE in console and loader.install_log() == []
    else:
        assert len(loader.install_log()) == 1


def test_two_application_components_one_answer(loader):
    first, second = app_image("5.0.0.1"), app_image("5.0.0.2")
    usb_stick(loader, {BOOT: first + second})
    _, console = boot(loader, [(SLOT_PROMPT, "2\n")])
    assert console.count(SLOT_PROMPT) == 1
    assert console.count("Installing image as image2: ") == 2
    assert loader.read(SLOT.format(2)) == second
    eeprom = loader.read("/board/eeprom.bin")
    assert eeprom[256] == 2 and eeprom[272:279] != b"\xff" * 7


def test_empty_answer_boots_the_package_without_storing_it(loader):
    usb_stick(loader, {BOOT: app_image("6.0.0.0")})
    _, console = boot(loader, [(SLOT_PROMPT, "\n")])
    assert in_order(console, "Booting downloaded image\r\n", "Image ready to boot...\r\n",
                    "application 6.0.0.0 running")
    assert loader.read(SLOT.format(2)) is None and loader.install_log() == []


@pytest.mark.parametrize("answers,installed", [(None, True), (["x\n", "q\n"], False), (["x\n", "2\n"], True)])
def test_nos_application_goes_to_tmp_only(loader, answers, installed):
    payload = b"nos-gzip-bytes" * 100
    slot = 1 if answers is None else 2
    pkg = component(NOS_APPLICATION, payload)
    usb_stick(loader, {BOOT if answers else REPLACE.format(1): pkg})
    old = loader.read(SLOT.format(1))
    _, console = boot(loader, [(NOS_PROMPT, a) for a in answers or []])
    assert console.count(NOS_PROMPT) == len(answers or [])
    assert (loader.read("/tmp/nos-image.gz") == payload) == installed
    assert (len(loader.install_log()) == 1) == installed
    assert loader.read(SLOT.format(1)) in (None, old) and loader.read(SLOT.format(2)) is None
    if installed:
        assert (f"Installing image as image{slot}: Preparing image for installation:     \b\b\b\b100%\b\b\b\b100%\r\n"
                f"\r\nImage{slot} updated succeeded\r\n") in console
        assert loader.read("/board/eeprom.bin")[256] == slot


def test_second_component_failing_leaves_the_first_written(loader):
    kernel = flash_component(KERNEL, b"k" * 2000)
    rfs = bytearray(flash_component(RFS, b"r" * 2000))
    rfs[100] ^= 0x10
    usb_stick(loader, {BOOT: kernel + bytes(rfs)})
    _, console = boot(loader)
    assert "Bad crc for RFS" in console
    assert loader.read("/dev/mtd-kernel")[:len(kernel)] == kernel
    assert loader.install_log() == []


def test_unknown_types_only(loader):
    usb_stick(loader, {BOOT: component(0x07677279, b"a" * 100) + component(0x11223344, b"b" * 50)})
    _, console = boot(loader)
    assert in_order(console, EXTRACTING, NO_IMAGE) and "Installing" not in console


def test_slot_write_progress_and_log(loader):
    comp = component(APPLICATION, bytes(150000 - 16 - 8 - 6 - 256), key="production")
    assert len(comp) == 150000
    loader.rtc("2026-12-05 10:45:59")
    loader.file("/user/install.log", "earlier line\n")
    usb_stick(loader, {REPLACE.format(1): comp, REPLACE.format(2): app_image("7.0.0.2")})
    _, console = boot(loader)
    # 65536, 131072 and 150000 of 150000 bytes
    assert ("Installing image as image1:     \b\b\b\b043%\b\b\b\b087%\b\b\b\b100%\b\b\b\b100%\r\n"
            "\r\nImage1 updated succeeded\r\n") in console
    assert loader.read(SLOT.format(1)) == comp
    log = loader.install_log()
    assert log == [
        "earlier line",
        f"File /mnt/usb/{REPLACE.format(2)} installed from USB at 10:45:59 on 5-12-2026",
        f"File /mnt/usb/{REPLACE.format(1)} installed from USB at 10:45:59 on 5-12-2026",
    ]
    assert f"Updating install log. {log[2]}" in console
    assert [p for p in loader.written() if ".new" in p] == []


def test_failed_slot_write_keeps_the_old_image(loader):
    # The file size limit fails the slot write part-way (EFBIG, signal ignored); EEPROM and logs stay below it.
    old = app_image("1.0.0.0")
    usb_stick(loader, {REPLACE.format(1): component(APPLICATION, bytes(300000), key="production")})
    loader.file(SLOT.format(1), old)
    status, console = loader.run_command(
        ["/bin/sh", "-c", "ulimit -f 256; trap '' XFSZ; exec /bin/imgloader-sim"], timeout=60)
    assert "Installing image as image1:     \b\b\b\b021%" in console
    assert "%Image1 update failed (err 27)\r\n" in console
    assert loader.read(SLOT.format(1)) == old
    assert [p for p in loader.written() if ".new" in p] == []
    assert "application 1.0.0.0 running" in console and loader.install_log() == []


STRACE_LIBS = ("libunwind-ptrace.so.0", "libunwind-x86_64.so.8", "libunwind.so.8", "liblzma.so.5")
WRITE_CALLS = "write,pwrite64,rename,ioctl"


def with_strace(board):
    """The host's strace and its libraries, copied into the board root."""
    if not Path("/usr/bin/strace").exists():
        pytest.skip("needs strace")
    for lib in STRACE_LIBS:
        board.file(f"/lib/x86_64-linux-gnu/{lib}", Path(f"/lib/x86_64-linux-gnu/{lib}").read_bytes())
    board.file("/bin/strace", Path("/usr/bin/strace").read_bytes(), 0o755)


def test_power_loss_during_installation(loader, tmp_path):
    """Kills the loader at an even spread of its write-type calls while it installs a kernel and
    an image 2, then boots again: image 2 is whole, old or new. Only the loader is traced (no -f):
    killing one of its shell commands would not be a power loss."""
    old, new = app_image("8.0.0.1"), app_image("8.0.0.2")
    pkg = flash_component(KERNEL, b"k" * 70000) + new
    with_strace(loader)
    usb_stick(loader, {REPLACE.format(2): pkg})
    loader.file(SLOT.format(2), old)
    loader.eeprom(256, b"\x02")
    upper = Path(loader.upper)
    pristine = tmp_path / "pristine"
    shutil.copytree(upper, pristine, symlinks=True)
    _, console = loader.run_command(["/bin/strace", "-c", "-e", f"trace={WRITE_CALLS}", "/bin/imgloader-sim"])
    total = next(int(line.split()[3]) for line in console.splitlines() if line.endswith(" total"))
    assert loader.read(SLOT.format(2)) == new and total > 10
    seen = set()
    for n in sorted({1 + i * (total - 1) // 49 for i in range(50)}):
        shutil.rmtree(upper)
        shutil.copytree(pristine, upper, symlinks=True)
        loader.run_command(["/bin/strace", "-o", "/dev/null", "-e", f"trace={WRITE_CALLS}",
                            "-e", f"inject={WRITE_CALLS}:signal=KILL:when={n}", "/bin/imgloader-sim"])
        slot2 = loader.read(SLOT.format(2))
        assert slot2 in (old, new), f"image 2 torn after write-type call {n}"
        seen.add(slot2)
        loader.eeprom(315, b"\x00")
        _, console = loader.run_command(None)
        assert re.search(r"application 8\.0\.0\.[12] running", console), f"no boot after call {n}"
    assert seen == {old, new}  # the kills fell before and after the slot's rename


def test_boot_package_installed_once_then_skipped(loader):
    usb_stick(loader, {BOOT: flash_component(KERNEL, b"k" * 4000, "4.4.0.1")})
    _, first = boot(loader)
    assert in_order(first, "Installing Kernel: ", "installed from USB", "[board] reboot"), first
    assert "Booting image" not in first
    start = len(loader.console())
    _, second = boot(loader)
    second = second[start:]
    assert in_order(second, SAME, NO_IMAGE, "Booting image '1'", "application 1.0.0.0 running"), second
    assert "[board] reboot" not in second
    assert len(loader.install_log()) == 1
