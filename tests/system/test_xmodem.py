"""XMODEM-1K downloads over the serial console through the rescue menu."""

import os

import pexpect
import pytest

import xmodem_sender
from images import app_image
from test_boot import env_image

SLOT_PROMPT = "Install image as image 1 or 2 (hit return to just boot image): "
OPTION = "\r\nOption? : "


def rescue_board(loader, leftover=None):
    loader.mtd("ubootenv", env_image("diagnostics=rescue"))
    if leftover is not None:
        loader.file("/tmp/image", leftover)


def choose_xmodem(loader):
    child = loader.start(timeout=60)
    child.expect_exact(OPTION)
    child.send("x")
    child.expect_exact("Running xmodem rescue.....\r\n")
    return child


def leave_menu(loader, child):
    """Exit; without a bootable slot the menu comes back once more before the reboot."""
    while child.expect_exact([OPTION, pexpect.EOF]) == 0:
        child.send("e")
    loader.wait(60)


def logged(loader):
    data = loader.read("/user/install.log")
    return data.decode().splitlines() if data else []


def test_xmodem_download_installs_the_padded_image(loader):
    image = app_image("4.0.0.0", files={"home/bin/data": (os.urandom(5000), 0o644)})
    assert len(image) // 1024 >= 4 and len(image) % 1024, "the last block must carry padding"
    rescue_board(loader)
    child = choose_xmodem(loader)
    xmodem_sender.start(child)
    assert xmodem_sender.send(child, image)
    xmodem_sender.finish(child)
    child.expect_exact(SLOT_PROMPT)
    child.send("2\n")
    child.expect_exact("Image2 updated succeeded\r\n")
    leave_menu(loader, child)
    assert loader.read("/tmp/image") == xmodem_sender.padded(image)
    assert loader.read("/user/images/image2") == image
    [line] = logged(loader)
    assert "image" in line and "xmodem" in line


@pytest.mark.parametrize("leftover", [None, b"an image from an earlier download"])
def test_cancelled_transfer_installs_nothing(loader, leftover):
    rescue_board(loader, leftover)
    child = choose_xmodem(loader)
    xmodem_sender.start(child)
    assert not xmodem_sender.send(child, os.urandom(8000), cancel_after=2)
    xmodem_sender.finish(child)
    leave_menu(loader, child)
    console = loader.console()
    assert "Extracting images" not in console and SLOT_PROMPT not in console
    assert loader.read("/tmp/image") is None
    assert logged(loader) == []



# Receivers that leave a file behind although the transfer did not complete.
@pytest.mark.parametrize("script", [
    "head -c 3000 /user/images/pkg >\"$1\"; exit 1",  # cut short, the status says so
    ": >\"$1\"; exit 0",                               # gave up, empty file
])
def test_partial_or_empty_download_is_not_installed(loader, script):
    rescue_board(loader)
    loader.file("/user/images/pkg", app_image("4.0.0.1"))
    loader.file("/usr/bin/rx", f"#!/bin/sh\n{script}\n", mode=0o755)
    child = choose_xmodem(loader)
    child.expect_exact("before initiating the download.\r\n")
    child.send("\r")
    xmodem_sender.finish(child)
    leave_menu(loader, child)
    console = loader.console()
    assert "Extracting images" not in console and SLOT_PROMPT not in console
    assert loader.read("/tmp/image") is None and logged(loader) == []


def test_download_starts_only_on_carriage_return(loader):
    rescue_board(loader)
    child = choose_xmodem(loader)
    child.expect_exact("before initiating the download.\r\n")
    child.send("\n")  # a line feed does not start the download
    child.expect_exact("... Waiting for the <Enter> key to be hit before the download can start...")
    child.send("\r")
    child.expect_exact("C")  # the receiver asks for the transfer
    xmodem_sender.send(child, b"x", cancel_after=0)
    child.expect_exact("Change the baud rate back to 9600 bps, hit the <ENTER> key")
    # Back at the console's own settings, which map the operator's carriage
    # return to the line feed this wait takes.
    child.send("\r")
    leave_menu(loader, child)
    assert loader.console().count("Running xmodem rescue") == 1
