"""Components built byte by byte in the switch's format, apart from the project's image tool."""

import gzip
import io
import struct
import subprocess
import tarfile
import zlib
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
KEYS = REPO / "keys" / "test"

APPLICATION, UBOOT, KERNEL, RFS, DFT, DIAGNOSTICS, NOS_APPLICATION = (
    0x01677279, 0x02677279, 0x03677279, 0x04677279, 0x05677279, 0x06677279, 0x08677279)
HDR3 = 0x48445233


def jamcrc(data):
    return zlib.crc32(data) ^ 0xFFFFFFFF


def env_image(*entries, size=256 * 1024):
    """CRC word, NUL-terminated entries and an empty one in a 0x20000-byte block, then erased flash."""
    data = b"".join(e.encode() + b"\0" for e in entries) + b"\0"
    data = data.ljust(0x20000, b"\0")
    return (zlib.crc32(data).to_bytes(4, "little") + data).ljust(size, b"\xff")


def version_id(version):
    return int.from_bytes(bytes(int(x) for x in version.split(".")), "big")


def sign(payload, key):
    return subprocess.run(["openssl", "dgst", "-sha256", "-sign", str(KEYS / f"{key}.key.pem")],
                          input=payload, capture_output=True, check=True).stdout


def component(ctype, payload, version="1.0.0.0", fmt=None, key=None, type_entry=None, signature=None):
    """One component. fmt: plain, extended or hdr3 (default hdr3 when signed or typed)."""
    if fmt is None:
        fmt = "hdr3" if (key or type_entry is not None or signature is not None) else "plain"
    if fmt == "plain":
        head = struct.pack(">III", len(payload), ctype, version_id(version))
    elif fmt == "extended":
        head = struct.pack(">IIIHHI", len(payload), ctype | 0x80000000, version_id(version), 0, 24, 0)
    else:
        entries = b"" if type_entry is None else struct.pack(">HHI", 6, 8, type_entry)
        signature = sign(payload, key) if key else signature
        if signature is not None:
            entries += struct.pack(">HHH", 3, 6 + len(signature), len(signature)) + signature
        head = struct.pack(">IIIIHH", 8 + len(entries) + len(payload), ctype, version_id(version), HDR3, 0,
                           24 + len(entries)) + entries
    rest = head + payload
    return struct.pack(">I", jamcrc(rest)) + rest


def app_archive(program="#!/bin/sh\necho \"application {version} running\"\n", version="1.0.0.0",
                files=None):
    """gzip'd tar with home/bin/mp.elf.strip and any further {path: (text, mode)}; the same bytes every call
    (no time in the gzip header), so a test can compare a slot with a second app_image()."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w") as tar:
        for name, (text, mode) in {"home/bin/mp.elf.strip": (program.replace("{version}", version), 0o755),
                                   **(files or {})}.items():
            data = text.encode() if isinstance(text, str) else text
            info = tarfile.TarInfo(name)
            info.size, info.mode = len(data), mode
            tar.addfile(info, io.BytesIO(data))
    return gzip.compress(buf.getvalue(), mtime=0)


def app_image(version="1.0.0.0", key="production", **kw):
    return component(APPLICATION, app_archive(version=version, files=kw.pop("files", None)),
                     version=version, key=key, **kw)
