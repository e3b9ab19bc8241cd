"""The sandbox's own guarantees, checked with small shell programs standing in for the loader."""

import os
import subprocess
import sys
import tempfile
import time

import pexpect
import pytest

import harness

APP = {"/tmp/home/bin/mp.elf.strip": ("#!/bin/sh\necho application running as $0\nexit 5\n", 0o755)}
MOUNT = "mount -o sync -t jffs2 /dev/mtd-user /user"
GDBSERVER = "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :1234 /tmp/home/bin/mp.elf.strip"
# name and flags of every interface, sorted
LINKS = "ip -o link | sed -E 's/^[0-9]+: ([^:@]+)[^<]*<([^>]*)>.*/\\1 \\2/' | sort | tr '\\n' ';'"
# the host's files (one made in its /tmp for each run), disks and kernel log
HOST = "/tmp/host-only-* /work /.oldroot/work /.oldroot/tmp/host-only-* /dev/vda /dev/sda /dev/kmsg"


def sh(text):
    return ["sh", "-c", text]


# Programs that would act on the host reach the recording stubs, run directly or found by the shell;
# the rest stays inside. (board files {path: (data[, mode])}, None removes; command, status, shown, logged)
INSIDE = [
    ({}, ["date", "120510452026.59"], 0, None, ["date 120510452026.59"]),
    ({}, sh("date 010100002030.00"), 0, None, ["date 010100002030.00"]),
    ({}, sh("reboot"), 0, "[board] reboot", ["reboot"]),
    ({}, ["reboot"], 0, "[board] reboot", ["reboot"]),
    ({}, sh("/bin/" + MOUNT), 0, None, [MOUNT]),
    ({}, sh(MOUNT), 0, None, [MOUNT]),
    ({}, sh("/bin/umount /user &> /dev/null"), 0, None, ["umount /user"]),
    ({}, sh("hwclock -s"), 0, None, ["hwclock -s"]),
    ({}, sh("poweroff"), 0, "[board] poweroff", ["poweroff"]),
    ({"/user/production_key.pub.pem": ("key",)},
     sh("flash_eraseall /dev/mtd-user-char; [ -z \"$(ls -A /user)\" ] && echo user-empty"), 0, "user-empty",
     ["flash_eraseall /dev/mtd-user-char"]),
    ({}, sh("dhclient -1 eth0"), 0, None, ["dhclient -1 eth0"]),
    ({}, sh(GDBSERVER), 0, "[board] gdbserver :1234",
     ["libduma.so.0.0.0 loaded", "gdbserver :1234 /tmp/home/bin/mp.elf.strip"]),
    ({}, sh("LD_PRELOAD=libduma.so.0.0.0 /bin/cat /dev/null"), 0, None, ["libduma.so.0.0.0 loaded"]),
    ({}, ["/bin/summary-scan"], 0, None, ["summary-scan"]),
    ({"/board/summary-scan.status": ("3\n",)}, ["/bin/summary-scan"], 3, None, ["summary-scan"]),
    ({"/board/summary-scan.status": ("0\n",)}, ["/bin/summary-scan"], 0, None, ["summary-scan"]),
    (APP, sh("/bin/backtrace"), 5, "application running as /tmp/home/bin/mp.elf.strip", ["backtrace"]),
    ({}, ["/bin/backtrace"], 127, "no application", ["backtrace"]),
    ({}, sh("grep ' /proc ' /proc/mounts | grep -q ' ro,'"), 0, None, []),
    ({}, sh("! echo 1 > /proc/sys/net/ipv4/ip_forward"), 0, None, []),
    ({}, sh("! echo x > /proc/sys/kernel/hostname"), 0, None, []),
    ({}, sh("echo through-ttyS0 > /dev/ttyS0"), 0, "through-ttyS0", []),
    # The real applet, not the stub: busybox reports the failure but exits 0.
    ({}, ["/bin/busybox", "date", "-s", "2001-02-03 04:05:06"], 0, "Operation not permitted", []),
    ({}, sh('set -- $(cat /proc/self/uid_map); echo "uid map $1 $2 $3"'), 0, f"uid map 0 {os.getuid()} 1", []),
    ({}, sh("ifconfig eth0 10.9.8.7 netmask 255.255.255.0 up && route add default gw 10.9.8.1 && ip route"), 0,
     "default via 10.9.8.1 dev eth0", []),
    ({}, sh(f"for p in {HOST}; do [ -e $p ] && exit 1; done; ls -A /user"), 0, "images\r\n[sandbox]", []),
    # eth0 is a veth whose peer follows the link setting
    ({}, sh(LINKS), 0, "eth0 BROADCAST,MULTICAST,UP,LOWER_UP;eth0-peer BROADCAST,MULTICAST,UP,LOWER_UP;lo LOOPBACK,"
     "UP,LOWER_UP;", []),
    ({"/board/config": ("time_scale 1\nlink down\n",)}, sh(LINKS), 0, "eth0 NO-CARRIER,BROADCAST,MULTICAST,UP,M-DOWN;"
     "eth0-peer BROADCAST,MULTICAST;lo LOOPBACK,UP,LOWER_UP;", []),
    ({"/.imgloader-sandbox": None}, ["/bin/imgloader-sim"], 1, "refusing", []),
]


def host_routes():
    return subprocess.run(["ip", "route"], capture_output=True, text=True, check=True).stdout


@pytest.mark.parametrize("files, command, status, shown, logged", INSIDE)
def test_commands_inside_the_sandbox(board, sim_path, files, command, status, shown, logged):
    if "/bin/imgloader-sim" in command and sim_path is None:
        pytest.skip("needs --sim")
    for path, made in files.items():
        board.remove(path) if made is None else board.file(path, *made)
    clock, routes = time.time(), host_routes()
    with tempfile.NamedTemporaryFile(dir="/tmp", prefix="host-only-"):
        done, out = board.run_command(command)
    assert done == status, out
    assert board.commands() == logged
    assert shown is None or shown in out, out
    assert abs(time.time() - clock) < 60 and host_routes() == routes  # the host's clock and network untouched


@pytest.mark.skipif(os.geteuid() != 0, reason="only root can even try to skip the user namespace")
def test_refuses_without_a_user_namespace(tmp_path):
    # Everything but the user namespace: the entry check must stop before any mount.
    upper, run = tmp_path / "upper", tmp_path / "run"
    for d in (upper, run / "work", run / "root"):
        d.mkdir(parents=True)
    done = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", "--net", "--pid", "--fork", "--kill-child", "/bin/sh",
         str(harness.sandbox.HERE / "enter.sh"), "/nonexistent", str(upper), str(run), "user:[0]", "up", "--",
         "/bin/true"], capture_output=True, text=True, timeout=30)
    assert done.returncode == 125 and "refusing to run" in done.stderr


@pytest.mark.parametrize("launcher", ["harness", "cli"])
@pytest.mark.parametrize("trap, status", [("trap 'echo got SIGINT; exit 7' INT\n", 7), ("", 130)])
def test_ctrl_c_reaches_the_loader_and_the_sandbox_survives(board, launcher, trap, status):
    board.file("/bin/standin", f"#!/bin/sh\n{trap}echo ready\nwhile :; do sleep 0.05; done\n", 0o755)
    child = board.start(["/bin/standin"]) if launcher == "harness" else harness.spawn(
        [sys.executable, str(harness.sandbox.HERE / "sandbox.py"), "run", "--template", str(board.template),
         "--upper", str(board.upper), "--", "/bin/standin"], board.log)
    child.expect_exact("ready")
    child.sendintr()
    if trap:
        child.expect_exact("got SIGINT")
    # PID 1 and the parents outside lived on to report the loader's end.
    child.expect_exact(f"[sandbox] loader exited with status {status}")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == status


def test_board_state_reaches_the_root_and_upper_holds_exactly_what_the_run_wrote(board, template):
    board.config(["time_scale 1"])
    board.remove("/dev/i2c-0")
    board.mtd("kernel", b"KERN", offset=0x10)
    board.eeprom(0x20, b"\x01\x02")
    board.rtc("2026-12-05 10:45:59")
    status, out = board.run_command(sh(
        "od -An -tx1 -j 12 -N 8 /dev/mtd-kernel; wc -c /dev/mtd-kernel /board/eeprom.bin; "
        "od -An -tx1 -j 31 -N 4 /board/eeprom.bin; cat /board/rtc; echo a > /tmp/a && mkdir -p /user/images && "
        "echo b > /user/images/image1 && rm /etc/hosts && [ ! -e /dev/i2c-0 ] && [ -e /dev/i2c-1 ]"))
    assert status == 0, out
    for text in ("ff ff ff ff 4b 45 52 4e", "4194304 /dev/mtd-kernel", "8192 /board/eeprom.bin", "ff 01 02 ff",
                 "2026-12-05 10:45:59"):
        assert text in out, out
    assert board.written() == ["/board", "/board/config", "/board/eeprom.bin", "/board/rtc", "/dev", "/dev/i2c-0",
                               "/dev/mtd-kernel", "/etc", "/etc/hosts", "/tmp", "/tmp/a", "/user", "/user/images",
                               "/user/images/image1"]
    assert board.read("/user/images/image1") == b"b\n"
    assert board.read("/etc/hosts") is None  # a whiteout, not a file
    assert (template / "etc" / "hosts").is_file() and (template / "dev" / "i2c-0").is_file()


def test_harness_stays_inside_the_board_root(board):
    assert [harness.sandbox.board_path(p) for p in ("/dev/i2c-0", "/user/images/image1")] == ["/dev/i2c-0",
                                                                                           "/user/images/image1"]
    for path in ("dev/i2c-0", "/", "/tmp/../etc", "/..", "/tmp//x", "/tmp/x/"):
        with pytest.raises(ValueError):
            harness.sandbox.board_path(path)
    assert board.run_command(["ln", "-s", "/etc", "/tmp/out"])[0] == 0  # links the run left are not followed
    for use in (lambda: board.file("/tmp/out/passwd", "x"), lambda: board.read("/tmp/out/passwd")):
        with pytest.raises(ValueError):
            use()


def test_harness_reports_a_crash(board):
    assert board.run_command(sh("kill -SEGV $$"))[0] == 139
    assert board.crashes() == ["Segmentation fault"]
    board.crash_expected = True
