#!/usr/bin/python3
"""A read-only TFTP server (octet mode, 512-byte blocks) for the board sandbox.

  tftp_server.py --root DIR [--bind 127.0.0.1] [--port 69] [--log FILE] [--faults LIST]

Serves the files of DIR by their plain names; every requested name is written
to the log, one per line, exactly as it arrived. LIST (e.g. "silent,break")
names how the first requests go wrong: "silent" never answers, "break" sends
two blocks and then an error; later requests are served. start_in_netns() runs
it inside the network namespace of a running sandbox, never on the host's network.
"""

import argparse
import os
import socket
import subprocess
import sys
import time
from pathlib import Path

RRQ, DATA, ACK, ERROR = 1, 3, 4, 5
BLOCK = 512


def packet_error(code, text):
    return ERROR.to_bytes(2, "big") + code.to_bytes(2, "big") + text.encode() + b"\0"


def send_file(data, peer, retries=5, timeout=1.0, blocks=None):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((peer_host(peer), 0))
        s.settimeout(timeout)
        block = 1
        while True:
            if blocks is not None and block > blocks:
                s.sendto(packet_error(0, "Transfer broken off"), peer)
                return False
            chunk = data[(block - 1) * BLOCK:block * BLOCK]
            out = DATA.to_bytes(2, "big") + (block & 0xFFFF).to_bytes(2, "big") + chunk
            for _ in range(retries):
                s.sendto(out, peer)
                try:
                    reply, _ = s.recvfrom(1024)
                except socket.timeout:
                    continue
                if reply[:2] == ACK.to_bytes(2, "big") and reply[2:4] == (block & 0xFFFF).to_bytes(2, "big"):
                    break
            else:
                return False
            if len(chunk) < BLOCK:
                return True
            block += 1


def peer_host(peer):
    return "127.0.0.1" if peer[0].startswith("127.") else "0.0.0.0"


def serve(root, bind, port, log, faults=()):
    root = Path(root)
    faults = list(faults)
    silenced = set()  # a client repeats its request from the same port
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((bind, port))
        print("tftp server ready", flush=True)
        while True:
            request, peer = s.recvfrom(1024)
            if peer in silenced:
                continue
            if request[:2] != RRQ.to_bytes(2, "big"):
                s.sendto(packet_error(4, "Illegal TFTP operation"), peer)
                continue
            name = request[2:].split(b"\0")[0].decode(errors="replace")
            if log:
                with open(log, "a") as f:
                    f.write(name + "\n")
            path = root / name
            if "/" in name or name in ("", ".", "..") or not path.is_file():
                s.sendto(packet_error(1, "File not found"), peer)
                continue
            fault = faults.pop(0) if faults else "serve"
            if fault == "silent":
                silenced.add(peer)
                continue
            send_file(path.read_bytes(), peer, blocks=2 if fault == "break" else None)


def start_in_netns(pid, root, log=None, faults=()):
    """Starts the server in the network namespace of the sandbox whose outermost
    process is pid."""
    ours = os.readlink("/proc/self/ns/net")
    for _ in range(100):
        if os.readlink(f"/proc/{pid}/ns/net") != ours:
            break
        time.sleep(0.05)
    else:
        raise RuntimeError("sandbox has no network namespace of its own")
    argv = ["nsenter", "-t", str(pid), "--user", "--net", "--preserve-credentials", sys.executable,
            str(Path(__file__).resolve()), "--root", str(root)]
    if log:
        argv += ["--log", str(log)]
    if faults:
        argv += ["--faults", ",".join(faults)]
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True)
    if proc.stdout.readline().strip() != "tftp server ready":
        proc.kill()
        raise RuntimeError("tftp server did not start")
    return proc


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=69)
    parser.add_argument("--log")
    parser.add_argument("--faults", default="")
    args = parser.parse_args()
    faults = [f for f in args.faults.split(",") if f]
    if any(f not in ("silent", "break") for f in faults):
        parser.error(f"unknown fault in {args.faults!r}")
    serve(args.root, args.bind, args.port, args.log, faults)


if __name__ == "__main__":
    main()
