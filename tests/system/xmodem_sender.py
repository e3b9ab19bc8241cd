"""XMODEM-1K sender on the console's pty master: 1024-byte blocks with CRC-16 (XMODEM), SUB padding."""

import binascii
import os
import time

import pexpect

STX, EOT, ACK, NAK, CAN, SUB = 0x02, 0x04, 0x06, 0x15, 0x18, 0x1A
BLOCK = 1024
AFTER_ACK = 0.002  # rx flushes its input after each ACK: a block sent at once can lose its start


def padded(data):
    return data + bytes([SUB]) * (-len(data) % BLOCK)


def start(child, first=b"\r", timeout=10):
    """Enter until the receiver asks for CRC mode ("C"); answers how many were refused."""
    child.expect_exact("before initiating the download.\r\n", timeout=timeout)
    for n in range(5):
        os.write(child.child_fd, first if n == 0 else b"\r")
        if child.expect(["Waiting for the <Enter> key", "C"], timeout=timeout) == 1:
            time.sleep(AFTER_ACK)
            return n
    raise AssertionError("the receiver never asked for the transfer")


def finish(child, key=b"\n", timeout=10, settle=0.0):
    """Enter once the loader is back at the console rate. The loader empties its input after that line, so on a
    board whose reminder is too slow to retry by (the emulated one), settle waits out the emptying first."""
    child.expect_exact("Change the baud rate back to 9600 bps, hit the <ENTER> key", timeout=timeout)
    time.sleep(settle)
    for _ in range(5):
        os.write(child.child_fd, key)
        if child.expect(["Waiting for the <ENTER> key to be hit", pexpect.TIMEOUT], timeout=0.5) == 1:
            return
    raise AssertionError("the loader never took the Enter key")


def send(child, data, cancel_after=None, retries=10, timeout=3):
    """After start(); cancels after cancel_after blocks. True when the end was acknowledged."""
    fd = child.child_fd
    for n, at in enumerate(range(0, len(data), BLOCK)):
        chunk, seq = data[at:at + BLOCK].ljust(BLOCK, bytes([SUB])), (n + 1) & 0xFF
        block = bytes([STX, seq, 0xFF - seq]) + chunk + binascii.crc_hqx(chunk, 0).to_bytes(2, "big")
        for _ in range(retries if n != cancel_after else 0):
            os.write(fd, block)
            # other bytes (repeated C's) are skipped; a silence sends the block again
            reply = child.expect(["\x06", "\x18", "\x15", pexpect.TIMEOUT], timeout=timeout)
            if reply == 0:
                time.sleep(AFTER_ACK)
                break
            if reply == 1:
                return False
        else:
            os.write(fd, bytes([CAN]) * 8)
            return False
    # a receiver that resets its terminal on exit may drop its last ACK: silence after EOT is the end
    for _ in range(retries):
        os.write(fd, bytes([EOT]))
        if child.expect(["\x06", "\x15", pexpect.TIMEOUT], timeout=1) != 1:
            return True
    return False
