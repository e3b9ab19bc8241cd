"""Installing packages from a USB stick: per-type checks and destinations, the
slot prompt, same-version skips, the install log and the atomic slot write."""

import re
import shutil
import struct
from pathlib import Path

import pytest

from harness import SLOT, boot, in_order, sandbox, talk, usb_stick
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


BOOTS = ["Booting downloaded image\r\n", "Image ready to boot...\r\n", "application 6.0.0.0 running"]


# The one application of a boot package: the slot answer ("eof": nobody left to answer),
# files the board holds ("same": the package itself), what shows, whether image 2 holds it.
@pytest.mark.parametrize("answer,files,shown,stored", [
    ("\n", {}, BOOTS, False),
    ("eof", {}, BOOTS, False),
    ("1\n", {SLOT.format(1): "same"}, ["Installing image as image1: Image1 has same version as existing image. Skipping update...\r\n",
                                         NO_IMAGE], False),
    ("\n", {"/tmp/kalpaimage.tar.gz/x": ""},
     ["Booting downloaded image\r\n", "Cannot create /tmp/kalpaimage.tar.gz: Is a directory\r\n"], False),
    ("2\n", {"/user/install.log/x": ""},
     ["Image2 updated succeeded\r\n", "Cannot open /user/install.log: Is a directory\r\n"], True),
], ids=["boot", "eof", "same", "no archive", "no log"])
def test_slot_answer_for_one_application(loader, answer, files, shown, stored):
    image = app_image("6.0.0.0")
    usb_stick(loader, {BOOT: image})
    for path, data in files.items():
        loader.file(path, image if data == "same" else data)
    eof = ["/bin/sh", "-c", "exec /bin/imgloader-sim </dev/null"]
    talk(loader.start(eof if answer == "eof" else None), [(SLOT_PROMPT, "" if answer == "eof" else answer)])
    loader.leave_menus()
    assert in_order(loader.console(), *shown), loader.console()
    assert (loader.read(SLOT.format(2)) == image) == stored and loader.install_log() == []


@pytest.mark.parametrize("answers,installed", [
    (None, True), (["x\n", "q\n"], False), (["x\n", "2\n"], True), ("blocked", False),
])
def test_nos_application_goes_to_tmp_only(loader, answers, installed):
    payload = b"nos-gzip-bytes" * 100
    blocked = answers == "blocked"
    if blocked:  # the payload's file cannot be written
        answers = ["1\n"]
        loader.file("/tmp/nos-image.gz/x", "")
    slot = 1 if answers is None else 2
    pkg = component(NOS_APPLICATION, payload)
    usb_stick(loader, {BOOT if answers else REPLACE.format(1): pkg})
    old = loader.read(SLOT.format(1))
    _, console = boot(loader, [(NOS_PROMPT, a) for a in answers or []])
    assert console.count(NOS_PROMPT) == len(answers or [])
    assert (loader.read("/tmp/nos-image.gz") == payload) == installed
    assert ("WARNING: writing image file failed (err 21)" in console) == blocked
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
    loader.file("/user/images/.image2.new", bytes(100000))  # left by a cut; its space is needed
    status, console = loader.run_command(
        ["/bin/sh", "-c", "ulimit -f 256; trap '' XFSZ; exec /bin/imgloader-sim"], timeout=60)
    assert "Installing image as image1:     \b\b\b\b021%" in console
    assert "%Image1 update failed (err 27)\r\n" in console
    assert loader.read(SLOT.format(1)) == old
    assert [p for p in loader.written() if ".new" in p] == []
    assert "application 1.0.0.0 running" in console and loader.install_log() == []


TRACED = "write,pwrite64,fsync,rename"
KILLED = "+++ killed by SIGKILL +++"
ERASESIZE = 65536
CALL = re.compile(r'(\w+)\((?:\d+<([^>]*)>|"([^"]*)")')
SLOT_STEPS = ("/user/images/.image2.new", "/user/images", "/user/install.log")


def with_strace(board):
    """The host's strace and the libraries the board lacks, copied into the board root."""
    if not Path("/usr/bin/strace").exists():
        pytest.skip("needs strace")
    for lib in sandbox.shared_libs("/usr/bin/strace"):
        if not (board.template / lib.lstrip("/")).exists():
            board.file(lib, Path(lib).read_bytes())
    board.file("/bin/strace", Path("/usr/bin/strace").read_bytes(), 0o755)


def persistent_steps(trace):
    """The install's persistent steps, from an uncut traced run: (cut, proof, after the rename).
    A cut is ("strace", syscall, that syscall's own count) or ("powercut", kind, the board's
    count); its proof is the killed run's last traced call, or the board's note on the console."""
    calls, board = {}, dict.fromkeys(("erase", "write", "eeprom"), 0)
    flash, steps, phase = {"erase": [], "write": []}, [], "slot"
    for line in trace.splitlines():
        m = CALL.match(line)
        if not m:
            continue
        call, path = m[1], m[2] or m[3]
        calls[call] = calls.get(call, 0) + 1
        syscall_cut = (("strace", call, calls[call]), line.split(" = ")[0], phase != "slot")
        if path in SLOT_STEPS and phase != "logged":
            steps.append(syscall_cut)
            phase = "logged" if path == "/user/install.log" else "renamed" if call == "rename" else phase
        elif call == "pwrite64" and path.startswith(("/board/eeprom.bin", "/dev/mtd-")):
            size, at = (int(x) for x in re.search(r", (\d+), (\d+)\) = ", line).groups())
            kind = "eeprom" if path == "/board/eeprom.bin" else "erase" if size == ERASESIZE else "write"
            board[kind] += 1
            where = f"offset {at}" if kind == "eeprom" else f"{path[9:]} 0x{at:x}"
            cut = (("powercut", kind, board[kind]), f"[board] power cut at {kind} {board[kind]} ({where})",
                   phase != "slot")
            if path == "/dev/mtd-kernel":
                flash[kind].append(cut)
            elif kind == "eeprom" and phase == "renamed":
                if all(c[:2] != ("strace", call) for c, *_ in steps):
                    steps.append(syscall_cut)  # just before the state file is written: the rest must stay
                steps.append(cut)
    for cuts in flash.values():  # first, middle and last
        steps += [cuts[i] for i in sorted({0, len(cuts) // 2, len(cuts) - 1})]
    return steps


def test_power_cut_at_each_persistent_step(loader):
    """Cuts the power at each persistent step of installing a kernel and an image 2 from the USB
    stick, one aimed cut per run, each proven to have landed. Image 2 is old before the rename and
    new after it, the EEPROM keeps its other bytes, and the next start with the same stick mends
    what was cut and boots. Only the loader is traced (no -f): killing one of its shell commands
    would not be a power cut."""
    old, new = app_image("8.0.0.1"), app_image("8.0.0.2")
    kernel = flash_component(KERNEL, b"k" * (2 * ERASESIZE + 5000))  # three erase blocks
    with_strace(loader)
    usb_stick(loader, {REPLACE.format(2): kernel + new})
    loader.file(SLOT.format(2), old)
    loader.eeprom(256, b"\x02")
    upper = Path(loader.upper)
    pristine = upper.parent / (upper.name + ".pristine")
    shutil.copytree(upper, pristine, symlinks=True)
    try:
        status, _ = loader.run_command(["/bin/strace", "-o", "/tmp/trace", "-y", "-e", f"trace={TRACED}",
                                        "/bin/imgloader-sim"])
        assert status == 0 and loader.read(SLOT.format(2)) == new
        steps = persistent_steps(loader.read("/tmp/trace").decode())
        kinds = {(c[0], c[1]) for c, *_ in steps}
        assert kinds >= {("strace", "write"), ("strace", "fsync"), ("strace", "rename"), ("strace", "pwrite64"),
                         ("powercut", "erase"), ("powercut", "write"), ("powercut", "eeprom")}, steps
        for cut, proof, after in steps:
            shutil.rmtree(upper)
            shutil.copytree(pristine, upper, symlinks=True)
            if cut[0] == "strace":
                command = ["/bin/strace", "-o", "/tmp/trace", "-y", "-e", f"trace={TRACED}",
                           "-e", f"inject={cut[1]}:signal=KILL:when={cut[2]}", "/bin/imgloader-sim"]
            else:
                loader.config(["time_scale 0.01", f"powercut {cut[1]} {cut[2]}"])
                command = None
            status, console = loader.run_command(command)
            landed = (loader.read("/tmp/trace").decode().splitlines()[-2:] == [proof + " = ?", KILLED]
                      if cut[0] == "strace" else proof in console)
            assert status == 128 + 9 and landed, f"cut {cut} did not land at {proof}"
            assert loader.read(SLOT.format(2)) == (new if after else old), f"image 2 after cut {cut}"
            eeprom = loader.read("/board/eeprom.bin")
            assert len(eeprom) == 8192 and eeprom[315] == 0xD5, f"EEPROM lost after cut {cut}"
            loader.config("time_scale 0.01")
            _, console = loader.run_command(None)
            assert re.search(r"application \d+\.\d+\.\d+\.\d+ running", console), f"no boot after cut {cut}"
            assert loader.read(SLOT.format(2)) == new, f"image 2 not installed again after cut {cut}"
            assert loader.read("/dev/mtd-kernel")[:len(kernel)] == kernel, f"kernel torn after cut {cut}"
            assert [p for p in loader.written() if ".new" in p] == [], f"temporary file left after cut {cut}"
    finally:
        shutil.rmtree(pristine, ignore_errors=True)


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
