"""Installing packages from a USB stick: checks, destinations, prompts, skips, the log, the atomic slot write."""

import os
import random
import re
import shutil
import struct
from collections import Counter
from pathlib import Path

import pytest

from harness import SLOT, in_order, sandbox, talk, usb_stick
from images import APPLICATION, DFT, DIAGNOSTICS, KERNEL, NOS_APPLICATION, RFS, UBOOT, app_image, component, jamcrc

BOOT = "KPX4190_Boot.img"
REPLACE = "KPX4190_replace{}_OS.img"
EXTRACTING = "\r\nExtracting images ... Do *NOT* power cycle the switch.\r\n"
NO_IMAGE = "ERROR: No valid image found\r\n"
NOS_PROMPT = "Install image as image 1 or 2 (q to quit): "
SAME = "Image has same version as existing image. Skipping update...\r\n"
EOF_IN = "exec /bin/imgloader-sim </dev/null"  # nobody left to answer
FSIZE = "ulimit -f {}; trap '' XFSZ; exec /bin/imgloader-sim"  # writes past the limit fail with EFBIG

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


def start(loader, stick, answers=(), shell=None, files=None):
    """The loader started (through sh -c shell), prompts answered, every menu left: the console."""
    usb_stick(loader, stick)
    for path, data in (files or {}).items():
        loader.file(path, data)
    talk(loader.start(shell and ["/bin/sh", "-c", shell]), answers)
    loader.leave_menus()
    return loader.console()


@pytest.mark.parametrize("ctype,hdr_blocked", [(UBOOT, False), (KERNEL, False), (RFS, False), (DFT, False),
                                               (DIAGNOSTICS, False), (UBOOT, True)])
def test_flash_component_reaches_its_partition(loader, ctype, hdr_blocked):
    announce, _, part, signed, payload_only = ROWS[ctype]
    # The boot loader's payload exactly at its 512 KiB limit.
    payload = bytes(range(256)) * (2048 if ctype == UBOOT else 40)
    comp = flash_component(ctype, payload, "2.1.0.7")
    console = start(loader, {BOOT: comp}, files={"/user/images/uboot-hdr/x": ""} if hdr_blocked else None)
    verdict = " Image signature verified. " if signed else ""
    warning = ["WARNING: Unable to open /user/images/uboot-hdr for writing\r\n"] if hdr_blocked else []
    assert in_order(console, EXTRACTING, announce + verdict, *warning, f"File /mnt/usb/{BOOT} installed from USB",
                    "[board] reboot"), console
    assert loader.read(f"/dev/mtd-{part}").startswith(payload if payload_only else comp)
    if ctype == UBOOT and not hdr_blocked:  # a plain header, kept beside the partition
        assert loader.read("/user/images/uboot-hdr") == comp[:16]
    assert ("done\r\n" in console) == (ctype == DIAGNOSTICS) and len(loader.install_log()) == 1


def bad_crc(ctype):
    comp = bytearray(component(ctype, b"payload-bytes" * 30))
    comp[-1] ^= 0x01
    announce, name = ROWS[ctype][:2]
    return bytes(comp), [f"{announce}Bad crc for {name}: 0x{jamcrc(bytes(comp[4:])):08x}, voiding download"]


# Where the walk of a package ends (k: a good kernel component): the package, what shows, and
# whether the kernel before the end stays written. Lambdas: signing runs openssl.
ENDS = {f"crc-{ROWS[t][1]}": (lambda k, t=t: (*bad_crc(t), False)) for t in ROWS} | {
    "shorter-than-header": lambda k: (struct.pack(">IIIIHH", 0, 0, KERNEL | 0x80000000, 0, 0, 2) + b"\0" * 8,
                                      ["Installing Kernel: Bad crc for KERNEL: 0xffffffff, voiding download"], False),
    "past-the-end": lambda k: (struct.pack(">IIII", 0, 4000, RFS, 1) + b"x" * 40, [
        f"Bad crc for RFS: 0x{jamcrc(struct.pack('>III', 4000, RFS, 1) + b'x' * 40):08x}"], False),
    "too-big": lambda k: (component(UBOOT, b"u" * 0x80001),
                          ["Installing Boot Loader: UBOOT image is too big for flash (524289 > 524288)"], False),
    "unsigned": lambda k: (component(KERNEL, b"k" * 500),
                           ["Installing Kernel:  Image rejected as it has no signature\r\n"], False),
    "write-fails": lambda k: (k, ["kernel image update failed\r\n"], False),
    "unknown of length 0": lambda k: (struct.pack(">IIIIHHI", 0, 0, 0x91223344, 0, 0, 0, 0) + k,
                                      [EXTRACTING, NO_IMAGE], False),
    "unknown, then second refused": lambda k: (component(0x07677279, b"a" * 100) + k + bad_crc(RFS)[0],
                                               ["Installing Kernel: ", "Bad crc for RFS"], True),
    "no memory": lambda k: (k + struct.pack(">IIII", 0, 1 << 30, RFS, 0),
                            ["Failed to allocate buffer for image (1073741840)\r\n"], True),
}


@pytest.mark.parametrize("case", list(ENDS))
def test_package_walk_ends(loader, case):
    kernel = flash_component(KERNEL, b"k" * 2000)
    pkg, shown, kept = ENDS[case](kernel)
    shell = None
    loader.config(["time_scale 0.01"] + ["fail kernel write 1"] * (case == "write-fails"))
    if case == "no memory":  # a sparse 1 GiB package, read into a buffer the address space cannot hold
        if any("asan" in lib for lib in sandbox.shared_libs(loader.template / "bin" / "imgloader-sim")):
            pytest.skip("the sanitizers need the address space")
        os.truncate(loader.file(f"/mnt/usb/{BOOT}", pkg), 1 << 30)
        shell = "ulimit -v 400000; exec /bin/imgloader-sim"
    console = start(loader, {} if shell else {BOOT: pkg}, shell=shell)
    assert in_order(console, *shown) and (NO_IMAGE in console) == (NO_IMAGE in shown), console
    assert (loader.read("/dev/mtd-kernel")[:len(kernel)] == kernel) == kept and loader.install_log() == []


# The installed header differs from the component's at byte flip (0: its CRC, 15: its id).
@pytest.mark.parametrize("ctype,fmt,flip,skipped", [
    (UBOOT, "plain", 0, True),  # the copy at 240 carries no CRC of its own
    (UBOOT, "plain", 15, False), (KERNEL, None, 0, False),
    (DIAGNOSTICS, "extended", None, True),  # looked up under the type without bit 31
])
def test_same_version_skip(loader, ctype, fmt, flip, skipped):
    comp = flash_component(ctype, b"v" * 3000, "3.1.4.1", fmt=fmt)
    installed = bytearray(comp[:16])
    if flip is not None:
        installed[flip] ^= 1
    loader.mtd(ROWS[ctype][2], bytes(installed), offset=240 if ctype == UBOOT else 0)
    console = start(loader, {BOOT: comp})
    assert (SAME in console) == skipped and len(loader.install_log()) == (not skipped)
    assert in_order(console, SAME, NO_IMAGE, "application 1.0.0.0 running") if skipped else "[board] reboot" in console


# The one application of a boot package: the slot answer, the shell, files the board holds
# ("new": the package itself), what shows, whether image 2 then holds the package.
@pytest.mark.parametrize("answer,shell,files,shown,stored", [
    ("", EOF_IN, {}, ["Booting downloaded image\r\n", "Image ready to boot...\r\n", "application 6.0.0.0 running"],
     False),
    ("1\n", None, {SLOT.format(1): "new"},
     ["Installing image as image1: Image1 has same version as existing image. Skipping update...\r\n", NO_IMAGE],
     False),
    ("\n", None, {"/tmp/kalpaimage.tar.gz/x": ""},
     ["Booting downloaded image\r\n", "Cannot create /tmp/kalpaimage.tar.gz: Is a directory\r\n"], False),
    ("\n", FSIZE.format(256), {}, ["Booting downloaded image\r\n", "Image unpack failed (err 27)\r\n"], False),
    ("2\n", None, {"/user/install.log/x": ""},
     ["Image2 updated succeeded\r\n", "Cannot open /user/install.log: Is a directory\r\n"], True),
    ("2\n", None, {"/user/images/.image2.new/x": ""},
     ["Installing image as image2: Cannot create /user/images/.image2.new: Is a directory\r\n"], False),
    ("2\n", None, {SLOT.format(2) + "/x": ""}, ["%Image2 update failed (err 21)\r\n"], False),
    ("1\n", FSIZE.format(256), {"/user/images/.image2.new": bytes(100000)},  # left by a cut; its space is needed
     ["image1:     \b\b\b\b043%", "%Image1 update failed (err 27)\r\n", "application 1.0.0.0 running"], False),
], ids=["eof", "same", "no archive", "unpack fails", "no log", "no temporary file", "no rename", "write fails"])
def test_slot_answer_for_one_application(loader, answer, shell, files, shown, stored):
    # Past the file size limit's 128 KiB, unpacked
    image = app_image("6.0.0.0", files={"home/pad": (random.Random(0).randbytes(150000), 0o644)})
    console = start(loader, {BOOT: image}, [("(hit return to just boot image): ", answer)], shell,
                    {path: image if data == "new" else data for path, data in files.items()})
    assert in_order(console, *shown), console
    assert (loader.read(SLOT.format(2)) == image) == stored and loader.install_log() == []
    assert not [p for p in loader.written() if p.endswith(".new") and (Path(loader.upper) / p[1:]).is_file()]


@pytest.mark.parametrize("answers,how", [
    (None, "installed"), (["x\n", "q\n"], "quit"), (["x\n", "2\n"], "installed"),
    (["\x03", "2\n"], "installed"),  # an interrupted read asks again
    (["1\n"], "blocked"), ([""], "eof")])
def test_nos_application_goes_to_tmp_only(loader, answers, how):
    payload = b"nos-gzip-bytes" * 100
    slot, installed = 1 if answers is None else 2, how == "installed"
    console = start(loader, {BOOT if answers else REPLACE.format(1): component(NOS_APPLICATION, payload)},
                    [(NOS_PROMPT, a) for a in answers or []], EOF_IN if how == "eof" else None,
                    {"/tmp/nos-image.gz/x": ""} if how == "blocked" else None)
    assert console.count(NOS_PROMPT) == len(answers or [])
    assert (loader.read("/tmp/nos-image.gz") == payload) == installed == len(loader.install_log())
    assert ("WARNING: writing image file failed (err 21)" in console) == (how == "blocked")
    slots = [loader.read(SLOT.format(n)) for n in (1, 2)]  # as they were
    assert slots[0][8:16] == struct.pack(">II", APPLICATION, 0x01000000) and slots[1] is None
    assert not installed or loader.read("/board/eeprom.bin")[256] == slot and (
        f"Installing image as image{slot}: Preparing image for installation:     \b\b\b\b100%\b\b\b\b100%\r\n"
        f"\r\nImage{slot} updated succeeded\r\n") in console


def test_slot_write_progress_and_log(loader):
    comp = component(APPLICATION, bytes(150000 - 16 - 8 - 6 - 256), key="production")  # 150000 bytes
    loader.rtc("2026-12-05 10:45:59")
    loader.file("/user/install.log", "earlier line\n")
    console = start(loader, {REPLACE.format(1): comp, REPLACE.format(2): app_image("7.0.0.2")})
    # 65536, 131072 and 150000 of 150000 bytes
    assert ("Installing image as image1:     \b\b\b\b043%\b\b\b\b087%\b\b\b\b100%\b\b\b\b100%\r\n"
            "\r\nImage1 updated succeeded\r\n") in console
    assert loader.read(SLOT.format(1)) == comp
    log = loader.install_log()
    assert log == ["earlier line"] + [f"File /mnt/usb/{REPLACE.format(n)} installed from USB at 10:45:59 on 5-12-2026"
                                      for n in (2, 1)]
    assert f"Updating install log. {log[2]}" in console
    eeprom = loader.read("/board/eeprom.bin")  # slot 1 last to boot; both install times
    assert eeprom[256] == 1 and eeprom[264:267] == eeprom[272:275] == bytes.fromhex("594510")
    assert [p for p in loader.written() if ".new" in p] == []


TRACE = ["/bin/strace", "-o", "/tmp/trace", "-y", "-e", "trace=write,pwrite64,fsync,rename"]
CALL = re.compile(r'(\w+)\((?:\d+<([^>]*)>|"([^"]*)")')
ERASESIZE, SLOT_STEPS = 65536, ("/user/images/.image2.new", "/user/images", "/user/install.log")


def persistent_steps(trace):
    """(cut, proof, after the rename) per persistent step of an uncut traced run. A cut: ("strace", syscall, its
    count) or ("powercut", kind, the board's count); proof: the killed run's last call, or the board's note."""
    calls, board, flash, steps, phase = Counter(), Counter(), {"erase": [], "write": []}, [], "slot"
    for line in trace.splitlines():
        if not (m := CALL.match(line)):
            continue
        call, path = m[1], m[2] or m[3]
        calls[call] += 1
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


@pytest.mark.skipif(not Path("/usr/bin/strace").exists(), reason="needs strace")
def test_power_cut_at_each_persistent_step(loader, tmp_path):
    """One aimed cut per run, proven to land: image 2 is old before the rename, new after; the EEPROM
    stays; the next start mends and boots. Only the loader is traced (no -f): its shell commands are not the board."""
    for lib in sandbox.shared_libs("/usr/bin/strace"):  # with the libraries the board lacks
        if not (loader.template / lib.lstrip("/")).exists():
            loader.file(lib, Path(lib).read_bytes())
    loader.file("/bin/strace", Path("/usr/bin/strace").read_bytes(), 0o755)
    old, new = app_image("8.0.0.1"), app_image("8.0.0.2")
    kernel = flash_component(KERNEL, b"k" * (2 * ERASESIZE + 5000))  # three erase blocks
    usb_stick(loader, {REPLACE.format(2): kernel + new})
    loader.file(SLOT.format(2), old)
    loader.eeprom(256, b"\x02")
    upper, pristine = Path(loader.upper), tmp_path / "pristine"
    shutil.copytree(upper, pristine, symlinks=True)
    status, _ = loader.run_command(TRACE + ["/bin/imgloader-sim"])
    assert status == 0 and loader.read(SLOT.format(2)) == new
    steps = persistent_steps(loader.read("/tmp/trace").decode())
    kinds = {"strace": ("write", "fsync", "rename", "pwrite64"), "powercut": ("erase", "write", "eeprom")}
    assert len(steps) == 20 and {c[:2] for c, *_ in steps} == {(t, k) for t in kinds for k in kinds[t]}, steps
    for cut, proof, after in steps:
        shutil.rmtree(upper)
        shutil.copytree(pristine, upper, symlinks=True)
        loader.config(["time_scale 0.01"] + [f"powercut {cut[1]} {cut[2]}"] * (cut[0] == "powercut"))
        inject = ["-e", f"inject={cut[1]}:signal=KILL:when={cut[2]}"]
        status, console = loader.run_command(TRACE + inject + ["/bin/imgloader-sim"] if cut[0] == "strace" else None)
        landed = (loader.read("/tmp/trace").decode().splitlines()[-2:] == [proof + " = ?", "+++ killed by SIGKILL +++"]
                  if cut[0] == "strace" else proof in console)
        assert status == 128 + 9 and landed, f"cut {cut} did not land at {proof}"
        eeprom = loader.read("/board/eeprom.bin")
        assert loader.read(SLOT.format(2)) == (new if after else old) and len(eeprom) == 8192 \
            and eeprom[315] == 0xD5, f"image 2 or EEPROM wrong after cut {cut}"
        loader.config("time_scale 0.01")
        _, console = loader.run_command(None)
        assert (re.search(r"application \d+\.\d+\.\d+\.\d+ running", console) and loader.read(SLOT.format(2)) == new
                and loader.read("/dev/mtd-kernel")[:len(kernel)] == kernel
                and not [p for p in loader.written() if ".new" in p]), f"not mended after cut {cut}: {console}"
