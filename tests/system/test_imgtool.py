"""The host image tool: components made, packaged, signed and inspected, checked byte for byte."""

import hashlib
import os
import struct
import subprocess

import pytest

from images import APPLICATION, DIAGNOSTICS, KERNEL, KEYS, component, jamcrc, sign

DATA = hashlib.shake_256(b"x").digest(1000)
SIGNED_APP = component(APPLICATION, b"app" * 100, key="production")


@pytest.fixture
def tool(sim_path, tmp_path):
    """Built next to imgloader-sim (or IMGTOOL); runs in tmp_path, which holds payload.bin."""
    path = os.environ.get("IMGTOOL") or (sim_path and str(sim_path.parent / "imgtool"))
    if not path or not os.access(path, os.X_OK):
        pytest.skip("imgtool not built (needs --sim next to it, or IMGTOOL)")
    (tmp_path / "payload.bin").write_bytes(DATA)
    return lambda *args: subprocess.run([path, *map(str, args)], cwd=tmp_path, capture_output=True, text=True)


# format, extra create arguments, header length, len counts the bytes after 16, magic bits
@pytest.mark.parametrize("fmt,extra,hdrlen,after16,flag", [
    ("plain", [], 16, False, 0), ("extended", [], 24, False, 0x80000000), ("hdr3", [], 24, True, 0),
    ("hdr3", ["--type-entry", "diagnostics"], 32, True, 0)])
def test_create_lays_out_the_header_and_package_joins(tool, tmp_path, fmt, extra, hdrlen, after16, flag):
    args = ["--format", fmt, *extra, "payload.bin", "-o", "c.img"]
    assert tool("create", "--type", "application", "--version", "1.2.3.250", *args).returncode == 0
    comp = (tmp_path / "c.img").read_bytes()
    crc, length, magic, ident = struct.unpack(">4I", comp[:16])
    assert comp[hdrlen:] == DATA and crc == jamcrc(comp[4:]) and (magic, ident) == (APPLICATION | flag, 0x010203FA)
    assert length == (len(comp) - 16 if after16 else len(DATA))
    assert fmt != "hdr3" or comp[24:hdrlen] == (struct.pack(">HHI", 6, 8, DIAGNOSTICS) if extra else b"")
    assert tool("package", "c.img", "c.img", "-o", "p.img").returncode == 0
    assert (tmp_path / "p.img").read_bytes() == comp + comp


K = component(KERNEL, b"1234")


# The walk the loader makes: small components it does not boot are stepped over, one it would
# boot must hold its own header, a cut file or tail is reported, and a flipped byte anywhere
# (int: its offset in the first part) makes the CRC bad, and packaging and signing refuse it.
@pytest.mark.parametrize("parts,lines,status", [
    ([K, SIGNED_APP], ["offset 0: plain KERNEL 1.0.0.0 header 16 payload 4 crc good",
                       "offset 20: hdr3 APPLICATION 1.0.0.0 header 286 payload 300 crc good"], 0),
    ([component(KERNEL, b""), K, SIGNED_APP], ["offset 0: plain KERNEL", "offset 16: plain", "offset 36: hdr3"], 0),
    ([component(APPLICATION, b"1234"), SIGNED_APP],
     ["offset 0: plain APPLICATION 1.0.0.0 header 16 payload 4 malformed (component length 20)"], 1),
    ([K, SIGNED_APP[:60]],
     ["offset 0:", "offset 20: hdr3 APPLICATION 1.0.0.0 header 286 payload 300 truncated (60 of 586 bytes"], 1),
    ([K, bytes(10)], ["offset 0:", "offset 20: 10 trailing bytes"], 1),
    ([component(KERNEL, DATA, fmt="extended"), 13, SIGNED_APP],
     ["offset 0: extended KERNEL 1.1.0.0 header 24 payload 1000 crc bad", "offset 1024: hdr3 APPLICATION"], 1),
    ([component(KERNEL, DATA, fmt="hdr3"), -1], ["offset 0: hdr3 KERNEL 1.0.0.0 header 24 payload 1000 crc bad"], 1),
])
def test_info_walks_packages_as_the_loader(tool, tmp_path, parts, lines, status):
    if isinstance(parts[1], int):
        bad = bytearray(parts[0])
        bad[parts[1]] ^= 1
        parts = [bytes(bad)] + parts[2:]
        (tmp_path / "one.img").write_bytes(parts[0])
        assert tool("package", "one.img", "-o", "p.img").returncode == 1 and tool("digest", "one.img").returncode == 1
        assert not (tmp_path / "p.img").exists()
    (tmp_path / "pkg.img").write_bytes(b"".join(parts))
    r = tool("info", "pkg.img")
    assert r.returncode == status and len(r.stdout.splitlines()) == len(lines), r.stdout
    assert all(got.startswith(want) for got, want in zip(r.stdout.splitlines(), lines)), r.stdout


def test_digest_and_attach_signature_equal_signing_with_the_key(tool, tmp_path):
    data = hashlib.shake_256(b"x").digest(600_001)  # several of the pieces the tool reads in
    (tmp_path / "payload.bin").write_bytes(data)
    key, pub, dev_pub = (KEYS / f"{name}.pem" for name in ("production.key", "production.pub", "development.pub"))
    for name, how in (("unsigned.img", ["--format", "hdr3"]), ("signed.img", ["--sign", key])):
        tool("create", "--type", "kernel", "--version", "3.1.4.1", *how, "--type-entry", "0x01677279",
             "payload.bin", "-o", name)
    r = tool("digest", "unsigned.img")
    assert r.returncode == 0 and r.stdout.strip() == hashlib.sha256(data).hexdigest()
    (tmp_path / "digest.bin").write_bytes(bytes.fromhex(r.stdout.strip()))
    subprocess.run(["openssl", "pkeyutl", "-sign", "-inkey", key, "-pkeyopt", "digest:sha256", "-in", "digest.bin",
                    "-out", "sig.bin"], cwd=tmp_path, check=True)
    (tmp_path / "dev.bin").write_bytes(sign(data, "development"))
    assert tool("attach-signature", "unsigned.img", "sig.bin", "--key", pub, "-o", "attached.img").returncode == 0
    assert (tmp_path / "attached.img").read_bytes() == (tmp_path / "signed.img").read_bytes()
    # Attaching to a signed component replaces its signature: still one entry, now the development key's.
    assert tool("attach-signature", "signed.img", "dev.bin", "-o", "resigned.img").returncode == 0
    resigned = (tmp_path / "resigned.img").read_bytes()
    assert resigned[22:34] == struct.pack(">HHHIH", 294, 6, 8, 0x01677279, 3) and resigned[294:] == data
    r = tool("info", "resigned.img", "--key", dev_pub, "--key", pub)
    assert r.returncode == 0 and f"{dev_pub} good" in r.stdout and f"{pub} bad" in r.stdout
    r = tool("info", "signed.img", "--key", dev_pub)
    assert r.returncode == 1 and f"{dev_pub} bad" in r.stdout
    # A signature that does not match the key given is refused, and nothing is written.
    r = tool("attach-signature", "unsigned.img", "dev.bin", "--key", pub, "-o", "wrong.img")
    assert r.returncode == 1 and not (tmp_path / "wrong.img").exists()


CREATE = ["create", "--type", "kernel", "--version", "1.2.3.4"]


@pytest.mark.parametrize("args,message", [
    (CREATE + ["--format", "plain", "--sign", "k.pem", "payload.bin", "-o", "o"],
     "only an hdr3 header carries a signature"),
    (CREATE + ["hdr3.bin", "-o", "o"], "readers would take it"),  # a payload the loader would read as a header
    (["info", "payload.bin", "--key", "payload.bin"], "not a public key"),
    (["package", "payload.bin", "-o", "o"], "header gives a component of"),
    (["keyfile", "--key", KEYS / "production.pub.pem", "-o", "o", "--serial", "0" * 24, "--serial-hex"],
     "all-zero serial"),
])
def test_bad_arguments_and_unreadable_files_exit_2_with_one_line(tool, tmp_path, args, message):
    (tmp_path / "hdr3.bin").write_bytes(b"HDR3" + bytes(100))
    r = tool(*args)
    assert r.returncode == 2 and message in r.stderr and len(r.stderr.splitlines()) == 1, r.stderr
    assert not (tmp_path / "o").exists()
