"""XMODEM-1K sender for the console's pty master: 1024-byte blocks with CRC-16,
the last one padded with SUB (0x1A)."""

import os
import time

import pexpect

SOH, STX, EOT, ACK, NAK, CAN, SUB = 0x01, 0x02, 0x04, 0x06, 0x15, 0x18, 0x1A
BLOCK = 1024
# rx flushes its input after each ACK; a block sent at once can lose its start.
AFTER_ACK = 0.002
EOT_WAIT = 1


def crc16(data):
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
        crc &= 0xFFFF
    return crc


def blocks(data):
    """The wire form of each block of data."""
    for n, at in enumerate(range(0, len(data), BLOCK), start=1):
        chunk = data[at:at + BLOCK].ljust(BLOCK, bytes([SUB]))
        seq = n & 0xFF
        yield bytes([STX, seq, 0xFF - seq]) + chunk + crc16(chunk).to_bytes(2, "big")


def padded(data):
    return data + bytes([SUB]) * (-len(data) % BLOCK)


def _reply(child, timeout):
    """ACK, NAK or CAN from the receiver, None after a silence (the block is sent
    again); other bytes (repeated C's) are skipped."""
    index = child.expect(["\x06", "\x15", "\x18", pexpect.TIMEOUT], timeout=timeout)
    return (ACK, NAK, CAN, None)[index]


def start(child, timeout=10):
    """The operator's side of the switch to the download rate: Enter (carriage
    return) until the receiver asks for CRC mode ("C")."""
    child.expect_exact("before initiating the download.\r\n", timeout=timeout)
    for _ in range(5):
        os.write(child.child_fd, b"\r")
        if child.expect(["Waiting for the <Enter> key", "C"], timeout=timeout) == 1:
            time.sleep(AFTER_ACK)  # the receiver flushes its input after each request too
            return
    raise AssertionError("the receiver never asked for the transfer")


def finish(child, timeout=10):
    """Enter (line feed) after the switch back to the console rate."""
    child.expect_exact("Change the baud rate back to 9600 bps, hit the <ENTER> key", timeout=timeout)
    for _ in range(5):
        os.write(child.child_fd, b"\n")
        if child.expect(["Waiting for the <ENTER> key to be hit", pexpect.TIMEOUT], timeout=0.5) == 1:
            return
    raise AssertionError("the loader never took the Enter key")


def send(child, data, cancel_after=None, retries=10, timeout=3):
    """Sends data after start(). With cancel_after, the transfer is cancelled
    after that many blocks. Answers True when the receiver acknowledged the
    end of the transfer."""
    fd = child.child_fd
    for n, block in enumerate(blocks(data)):
        if cancel_after is not None and n == cancel_after:
            os.write(fd, bytes([CAN]) * 8)
            return False
        for _ in range(retries):
            os.write(fd, block)
            reply = _reply(child, timeout)
            if reply == ACK:
                time.sleep(AFTER_ACK)
                break
            if reply == CAN:
                return False
        else:
            os.write(fd, bytes([CAN]) * 8)
            return False
    # A receiver that resets its terminal on exit may discard its last ACK
    # before it is read: silence after EOT counts as the end.
    for _ in range(retries):
        os.write(fd, bytes([EOT]))
        index = child.expect(["\x06", "\x15", pexpect.TIMEOUT], timeout=EOT_WAIT)
        if index != 1:
            return True
    return False
