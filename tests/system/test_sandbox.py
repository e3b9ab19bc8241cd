"""The sandbox's own guarantees, checked with small shell programs standing in
for the loader."""

import os
import re
import subprocess
import sys
import tempfile
import time

import pexpect
import pytest

import harness

SANDBOX_PY = str(harness.REPO / "tools" / "sandbox" / "sandbox.py")


@pytest.mark.parametrize("command, logged, shown", [
    (["date", "120510452026.59"], "date 120510452026.59", None),
    (["sh", "-c", "date 010100002030.00"], "date 010100002030.00", None),
    (["sh", "-c", "reboot"], "reboot", "[board] reboot"),
    (["reboot"], "reboot", "[board] reboot"),
    (["sh", "-c", "/bin/mount -o sync -t jffs2 /dev/mtd-user /user"],
     "mount -o sync -t jffs2 /dev/mtd-user /user", None),
    (["sh", "-c", "mount -o sync -t jffs2 /dev/mtd-user /user"],
     "mount -o sync -t jffs2 /dev/mtd-user /user", None),
    (["sh", "-c", "/bin/umount /user &> /dev/null"], "umount /user", None),
    (["sh", "-c", "hwclock -s"], "hwclock -s", None),
    (["sh", "-c", "poweroff"], "poweroff", "[board] poweroff"),
    (["sh", "-c", "flash_eraseall /dev/mtd-user-char"], "flash_eraseall /dev/mtd-user-char", None),
    (["sh", "-c", "dhclient -1 eth0"], "dhclient -1 eth0", None),
    (["sh", "-c", "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :1234 /tmp/home/bin/mp.elf.strip"],
     "gdbserver :1234 /tmp/home/bin/mp.elf.strip", "[board] gdbserver :1234"),
])
def test_host_acting_programs_reach_the_stubs(board, command, logged, shown):
    status, out = board.run_command(command)
    assert status == 0, out
    assert board.commands()[-1] == logged
    if shown:
        assert shown in out


def test_real_clock_setting_is_refused_and_host_clock_kept(board):
    before = time.time()
    # The real applet, not the stub: busybox reports the failure but exits 0.
    _, out = board.run_command(["/bin/busybox", "date", "-s", "2001-02-03 04:05:06"])
    assert "Operation not permitted" in out
    assert abs(time.time() - before) < 60


@pytest.mark.parametrize("status_file, expected", [(None, 0), ("3\n", 3), ("0\n", 0)])
def test_summary_scan_status_comes_from_the_board(board, status_file, expected):
    if status_file is not None:
        board.file("/board/summary-scan.status", status_file)
    status, _ = board.run_command(["/bin/summary-scan"])
    assert status == expected
    assert board.commands() == ["summary-scan"]


def test_backtrace_starts_the_booted_application(board):
    board.file("/tmp/home/bin/mp.elf.strip", "#!/bin/sh\necho application running as $0\nexit 5\n", 0o755)
    status, out = board.run_command(["sh", "-c", "/bin/backtrace"])
    assert status == 5
    assert "application running as /tmp/home/bin/mp.elf.strip" in out
    assert board.commands() == ["backtrace"]


def test_backtrace_without_application_fails(board):
    status, out = board.run_command(["/bin/backtrace"])
    assert status == 127
    assert "no application" in out


def test_memory_checker_library_is_preloaded(board):
    status, _ = board.run_command(["sh", "-c", "LD_PRELOAD=libduma.so.0.0.0 /bin/cat /dev/null"])
    assert status == 0
    assert board.commands() == ["libduma.so.0.0.0 loaded"]


def test_flash_eraseall_empties_user(board):
    board.file("/user/production_key.pub.pem", "key")
    status, _ = board.run_command(["sh", "-c", "flash_eraseall /dev/mtd-user-char; ls -A /user | wc -l"])
    assert status == 0
    assert not os.path.isfile(board._path("/user/production_key.pub.pem"))


def test_user_namespace_is_in_force(board):
    status, out = board.run_command(["cat", "/proc/self/uid_map"])
    assert status == 0
    fields = re.search(r"^\s*(\d+)\s+(\d+)\s+(\d+)\s*$", out, re.M).groups()
    assert fields != ("0", "0", "4294967295")
    assert fields == ("0", str(os.getuid()), "1")


@pytest.mark.skipif(os.geteuid() != 0, reason="only root can even try to skip the user namespace")
def test_refuses_without_a_user_namespace(tmp_path):
    # Everything but the user namespace: the entry check must stop before any mount.
    upper, run = tmp_path / "upper", tmp_path / "run"
    for d in (upper, run / "work", run / "root"):
        d.mkdir(parents=True)
    done = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", "--net", "--pid", "--fork", "--kill-child",
         "/bin/sh", str(harness.sandbox.HERE / "enter.sh"), "/nonexistent", str(upper), str(run),
         "user:[0]", "up", "--", "/bin/true"],
        capture_output=True, text=True, timeout=30)
    assert done.returncode == 125
    assert "refusing to run" in done.stderr


@pytest.mark.parametrize("command", [
    ["sh", "-c", "grep ' /proc ' /proc/mounts | grep -q ' ro,'"],
    ["sh", "-c", "! echo 1 > /proc/sys/net/ipv4/ip_forward"],
    ["sh", "-c", "! echo x > /proc/sys/kernel/hostname"],
])
def test_proc_is_read_only(board, command):
    status, out = board.run_command(command)
    assert status == 0, out


def test_host_files_are_not_visible(board):
    with tempfile.NamedTemporaryFile(dir="/tmp", prefix="host-only-") as marker:
        name = os.path.basename(marker.name)
        probe = f"for p in /tmp/{name} /work /.oldroot/work /.oldroot/tmp/{name} /dev/vda /dev/sda /dev/kmsg; " \
                "do [ -e $p ] && echo VISIBLE $p; done; ls -A /user"
        status, out = board.run_command(["sh", "-c", probe])
    assert status == 0
    assert "VISIBLE" not in out
    assert re.search(r"^images\s*$", out, re.M), out


@pytest.mark.parametrize("config, carrier", [(None, True), (["time_scale 1", "link down"], False)])
def test_eth0_is_a_veth_whose_peer_follows_link_setting(board, config, carrier):
    if config:
        board.config(config)
    status, out = board.run_command(["ip", "-o", "link"])
    assert status == 0
    names = sorted(re.findall(r"^\d+: ([^:@]+)", out, re.M))
    assert names == ["eth0", "eth0-peer", "lo"]
    eth0 = next(line for line in out.splitlines() if re.match(r"\d+: eth0@", line))
    assert ",UP" in eth0
    assert ("LOWER_UP" in eth0) == carrier
    assert ("NO-CARRIER" in eth0) == (not carrier)


def test_network_commands_stay_inside(board):
    cmd = "ifconfig eth0 10.9.8.7 netmask 255.255.255.0 up && route add default gw 10.9.8.1 && ip route"
    status, out = board.run_command(["sh", "-c", cmd])
    assert status == 0, out
    assert "default via 10.9.8.1 dev eth0" in out
    host = subprocess.run(["ip", "route"], capture_output=True, text=True).stdout
    assert "10.9.8.1" not in host


def test_ttyS0_is_the_console(board):
    status, out = board.run_command(["sh", "-c", "echo through-ttyS0 > /dev/ttyS0"])
    assert status == 0
    assert "through-ttyS0" in out


INTERRUPTIBLE = "#!/bin/sh\n{trap}echo ready\nwhile :; do sleep 0.05; done\n"


def start_cli(board, command):
    argv = [sys.executable, SANDBOX_PY, "run", "--template", str(board.template),
            "--upper", str(board.upper), "--", *command]
    child = pexpect.spawn(argv[0], argv[1:], timeout=30, encoding="utf-8", codec_errors="replace")
    child.delaybeforesend = child.delayafterclose = child.delayafterterminate = 0
    child.logfile_read = board.log
    return child


@pytest.mark.parametrize("launcher", ["harness", "cli"])
@pytest.mark.parametrize("trap, status", [("trap 'echo got SIGINT; exit 7' INT\n", 7), ("", 130)])
def test_ctrl_c_reaches_the_loader_and_the_sandbox_survives(board, launcher, trap, status):
    board.file("/bin/standin", INTERRUPTIBLE.format(trap=trap), 0o755)
    child = board.start(["/bin/standin"]) if launcher == "harness" else start_cli(board, ["/bin/standin"])
    child.expect_exact("ready")
    child.sendintr()
    if trap:
        child.expect_exact("got SIGINT")
    # PID 1 and the parents outside lived on to report the loader's end.
    child.expect_exact(f"[sandbox] loader exited with status {status}")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == status


def test_upper_holds_exactly_what_the_run_wrote(board, template):
    board.config(["time_scale 1"])
    board.remove("/dev/i2c-0")
    status, out = board.run_command(
        ["sh", "-c", "echo a > /tmp/a && mkdir -p /user/images && echo b > /user/images/image1 && "
                     "rm /etc/hosts && [ ! -e /dev/i2c-0 ] && [ -e /dev/i2c-1 ]"])
    assert status == 0, out
    assert board.written() == ["/board", "/board/config", "/dev", "/dev/i2c-0", "/etc", "/etc/hosts",
                               "/tmp", "/tmp/a", "/user", "/user/images", "/user/images/image1"]
    assert board.read("/user/images/image1") == b"b\n"
    assert board.read("/etc/hosts") is None  # a whiteout, not a file
    assert (template / "etc" / "hosts").is_file() and (template / "dev" / "i2c-0").is_file()


@pytest.mark.parametrize("path, ok", [
    ("/dev/i2c-0", True), ("/user/images/image1", True), ("dev/i2c-0", False), ("/", False),
    ("/tmp/../etc", False), ("/..", False), ("/tmp//x", False), ("/tmp/x/", False),
])
def test_board_paths_cannot_leave_the_root(path, ok):
    if ok:
        assert harness.sandbox.board_path(path) == path
    else:
        with pytest.raises(ValueError):
            harness.sandbox.board_path(path)


def test_harness_does_not_follow_links_the_run_left(board):
    status, _ = board.run_command(["ln", "-s", "/etc", "/tmp/out"])
    assert status == 0
    with pytest.raises(ValueError):
        board.file("/tmp/out/passwd", "x")
    with pytest.raises(ValueError):
        board.read("/tmp/out/passwd")


def test_board_state_reaches_the_root(board):
    board.mtd("kernel", b"KERN", offset=0x10)
    board.eeprom(0x20, b"\x01\x02")
    board.rtc("2026-12-05 10:45:59")
    status, out = board.run_command(
        ["sh", "-c", "od -An -tx1 -j 12 -N 8 /dev/mtd-kernel; wc -c /dev/mtd-kernel /board/eeprom.bin; "
                     "od -An -tx1 -j 31 -N 4 /board/eeprom.bin; cat /board/rtc"])
    assert status == 0
    assert "ff ff ff ff 4b 45 52 4e" in out
    assert re.search(r"4194304 /dev/mtd-kernel", out) and re.search(r"8192 /board/eeprom.bin", out)
    assert "ff 01 02 ff" in out
    assert "2026-12-05 10:45:59" in out


def test_harness_reports_a_crash(board):
    status, _ = board.run_command(["sh", "-c", "kill -SEGV $$"])
    assert status == 139
    assert board.crashes() == ["Segmentation fault"]
    board.crash_expected = True


def test_loader_refuses_a_root_without_the_marker(board, sim_path):
    if sim_path is None:
        pytest.skip("needs --sim")
    board.remove("/.imgloader-sandbox")
    status, out = board.run_command(["/bin/imgloader-sim"])
    assert status != 0
    assert "refusing" in out
    assert board.commands() == []
