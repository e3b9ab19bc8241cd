"""The host image tool: components made, packaged, signed and inspected on the host,
checked byte for byte here and judged by the loader's own code inside the tool."""

import hashlib
import os
import shutil
import struct
import subprocess
from pathlib import Path

import pytest

from images import APPLICATION, DIAGNOSTICS, KERNEL, KEYS, component, jamcrc, sign

KEY = {name: (KEYS / f"{name}.key.pem", KEYS / f"{name}.pub.pem") for name in ("production", "development")}


@pytest.fixture(scope="module")
def imgtool(sim_path):
    """Built next to imgloader-sim; IMGTOOL names another one."""
    path = os.environ.get("IMGTOOL") or (sim_path and str(sim_path.parent / "imgtool"))
    if not path or not os.access(path, os.X_OK):
        pytest.skip("imgtool not built (needs --sim next to it, or IMGTOOL)")
    return path


@pytest.fixture
def tool(imgtool, tmp_path):
    def run(*args):
        return subprocess.run([imgtool, *map(str, args)], cwd=tmp_path, capture_output=True, text=True)
    return run


def create(tool, kind, version, *args):
    return tool("create", "--type", kind, "--version", version, *args)


def payload(tmp_path, size=1000):
    data = hashlib.shake_256(b"x").digest(size)
    (tmp_path / "payload.bin").write_bytes(data)
    return data


def entries(comp):
    """HDR3 entries as (tag, value), walked independently of the tool."""
    hdrlen = struct.unpack(">H", comp[22:24])[0]
    out, at = [], 24
    while at < hdrlen:
        tag, length = struct.unpack(">HH", comp[at:at + 4])
        out.append((tag, comp[at + 4:at + length]))
        at += length
    return out


# format, extra create arguments, header length, what len counts (-1: bytes after 16), magic bits
FORMATS = [
    ("plain", [], 16, 0, 0),
    ("extended", [], 24, 0, 0x80000000),
    ("hdr3", [], 24, -1, 0),
    ("hdr3", ["--type-entry", "diagnostics"], 32, -1, 0),
]


@pytest.mark.parametrize("fmt,extra,hdrlen,lencounts,flag", FORMATS)
def test_create_lays_out_the_header_and_info_reads_it_back(tool, tmp_path, fmt, extra, hdrlen, lencounts, flag):
    data = payload(tmp_path)
    r = create(tool, "application", "1.2.3.250", "--format", fmt, *extra, "payload.bin", "-o", "c.img")
    assert r.returncode == 0, r.stderr
    comp = (tmp_path / "c.img").read_bytes()
    crc, length, magic, ident = struct.unpack(">4I", comp[:16])
    assert comp[hdrlen:] == data and len(comp) == hdrlen + len(data)
    assert crc == jamcrc(comp[4:])
    assert length == (len(comp) - 16 if lencounts else len(data))
    assert (magic, ident) == (APPLICATION | flag, 0x010203FA)
    if fmt == "hdr3":
        assert comp[16:20] == b"HDR3" and struct.unpack(">H", comp[22:24])[0] == hdrlen
    if extra:
        assert entries(comp) == [(6, struct.pack(">I", DIAGNOSTICS))]
    r = tool("info", "c.img")
    assert r.returncode == 0, r.stdout + r.stderr
    want = f"offset 0: {fmt} APPLICATION 1.2.3.250 header {hdrlen} payload 1000 crc good"
    assert r.stdout.startswith(want), r.stdout
    assert ("type-entry DIAGNOSTICS" in r.stdout) == bool(extra)
    assert r.stdout.rstrip().endswith("signature none")


def test_package_walks_every_component_and_a_cut_file_is_reported(tool, tmp_path):
    payload(tmp_path, 500)
    made = [("kernel", "plain", []), ("rfs", "extended", []), ("application", "hdr3", ["--sign", KEY["production"][0]]),
            ("0x12345678", "plain", [])]
    for i, (kind, fmt, extra) in enumerate(made):
        r = create(tool, kind, f"{i}.0.0.1", "--format", fmt, *extra, "payload.bin", "-o", f"c{i}.img")
        assert r.returncode == 0, r.stderr
    r = tool("package", *[f"c{i}.img" for i in range(len(made))], "-o", "pkg.img")
    assert r.returncode == 0, r.stderr
    parts = [(tmp_path / f"c{i}.img").read_bytes() for i in range(len(made))]
    pkg = (tmp_path / "pkg.img").read_bytes()
    assert pkg == b"".join(parts)

    lines = tool("info", "pkg.img").stdout.splitlines()
    offsets = [0, 516, 1040, 1826]
    assert [ln.split(":")[0] for ln in lines] == [f"offset {o}" for o in offsets]
    assert [ln.split()[2:4] for ln in lines] == [["plain", "KERNEL"], ["extended", "RFS"], ["hdr3", "APPLICATION"],
                                               ["plain", "0x12345678"]]
    assert "signature 256 bytes" in lines[2]

    # Cut inside the third component: the first two are listed, the third is reported, nothing past the end is read.
    (tmp_path / "cut.img").write_bytes(pkg[:1100])
    r = tool("info", "cut.img")
    assert r.returncode == 1
    assert r.stdout.splitlines()[2].endswith("truncated (60 of 786 bytes in the file)")
    # A tail too short for a header is reported as well.
    (tmp_path / "tail.img").write_bytes(parts[0] + b"\0" * 10)
    r = tool("info", "tail.img")
    assert r.returncode == 1 and "10 trailing bytes" in r.stdout


SIGNED_APP = component(APPLICATION, b"app" * 100, key="production")


# The walk the loader makes: small components it does not boot are stepped over,
# one it would boot must hold its own header, and below 4 bytes the walk stops.
@pytest.mark.parametrize("parts,types,status,last", [
    ([component(KERNEL, b"1234"), SIGNED_APP], ["KERNEL", "APPLICATION"], 0, "crc good"),
    ([component(KERNEL, b""), component(KERNEL, b"1234"), SIGNED_APP], ["KERNEL", "KERNEL", "APPLICATION"], 0,
     "crc good"),
    ([component(APPLICATION, b"1234"), SIGNED_APP], ["APPLICATION"], 1, "malformed (component length 20)"),
])
def test_info_walks_mixed_packages_as_the_loader(tool, tmp_path, parts, types, status, last):
    (tmp_path / "mixed.img").write_bytes(b"".join(parts))
    r = tool("info", "mixed.img")
    lines = r.stdout.splitlines()
    assert (r.returncode, [ln.split()[3] for ln in lines]) == (status, types), r.stdout
    assert last in lines[-1]


@pytest.mark.parametrize("fmt", ["plain", "extended", "hdr3"])
@pytest.mark.parametrize("where", [0, 13, 16, -1])  # stored CRC, version, offset 16, last payload byte
def test_a_flipped_byte_makes_the_crc_bad(tool, tmp_path, fmt, where):
    payload(tmp_path)
    create(tool, "kernel", "1.0.0.0", "--format", fmt, "payload.bin", "-o", "c.img")
    comp = bytearray((tmp_path / "c.img").read_bytes())
    create(tool, "rfs", "1.0.0.0", "payload.bin", "-o", "ok.img")
    comp[where] ^= 0x01
    (tmp_path / "bad.img").write_bytes(bytes(comp) + (tmp_path / "ok.img").read_bytes())
    r = tool("info", "bad.img")
    assert r.returncode == 1
    first, second = r.stdout.splitlines()
    assert "crc bad" in first and "crc good" in second
    # Neither packaging nor signing takes a damaged component.
    (tmp_path / "one.img").write_bytes(bytes(comp))
    assert tool("package", "one.img", "-o", "p.img").returncode == 1
    assert tool("digest", "one.img").returncode == 1
    assert not (tmp_path / "p.img").exists()


@pytest.mark.parametrize("signer,given,status", [
    ("production", ["production"], 0),
    ("development", ["production"], 1),
    ("production", ["development"], 1),
    ("development", ["production", "development"], 0),
])
def test_signature_is_judged_by_the_loaders_check_under_each_key(tool, tmp_path, signer, given, status):
    data = payload(tmp_path)
    r = create(tool, "application", "2.0.0.0", "--sign", KEY[signer][0], "payload.bin", "-o", "s.img")
    assert r.returncode == 0, r.stderr
    comp = (tmp_path / "s.img").read_bytes()
    (tag, value), = entries(comp)
    sig = value[2:]
    assert tag == 3 and struct.unpack(">H", value[:2])[0] == len(sig) == 256
    # Cross-check the signature with OpenSSL, independently of the loader's RSA code.
    (tmp_path / "sig.bin").write_bytes(sig)
    v = subprocess.run(["openssl", "dgst", "-sha256", "-verify", KEY[signer][1], "-signature", "sig.bin",
                        "payload.bin"], cwd=tmp_path, capture_output=True)
    assert v.returncode == 0 and comp[286:] == data
    args = [a for k in given for a in ("--key", KEY[k][1])]
    r = tool("info", "s.img", *args)
    assert r.returncode == status, r.stdout
    for k in given:
        assert f"{KEY[k][1]} {'good' if k == signer else 'bad'}" in r.stdout


# The larger payload spans several of the pieces the tool reads and writes in.
@pytest.mark.parametrize("how,size", [("pkeyutl", 4096), ("dgst", 600_001)])
def test_digest_and_attach_signature_equal_signing_with_the_key(tool, tmp_path, how, size):
    data = payload(tmp_path, size)
    key, pub = KEY["production"]
    entry = ["--type-entry", "0x01677279", "payload.bin"]
    create(tool, "kernel", "3.1.4.1", "--format", "hdr3", *entry, "-o", "unsigned.img")
    create(tool, "kernel", "3.1.4.1", "--sign", key, *entry, "-o", "signed.img")
    r = tool("digest", "unsigned.img")
    assert r.returncode == 0 and r.stdout.strip() == hashlib.sha256(data).hexdigest()
    (tmp_path / "digest.bin").write_bytes(bytes.fromhex(r.stdout.strip()))
    if how == "pkeyutl":  # signs the tool's digest, not the payload
        sig = subprocess.run(["openssl", "pkeyutl", "-sign", "-inkey", key, "-pkeyopt", "digest:sha256", "-in",
                              "digest.bin"], cwd=tmp_path, capture_output=True, check=True).stdout
    else:
        sig = sign(data, "production")
    (tmp_path / "sig.bin").write_bytes(sig)
    r = tool("attach-signature", "unsigned.img", "sig.bin", "--key", pub, "-o", "attached.img")
    assert r.returncode == 0, r.stderr
    signed = (tmp_path / "signed.img").read_bytes()
    assert (tmp_path / "attached.img").read_bytes() == signed
    assert struct.unpack(">I", signed[:4])[0] == jamcrc(signed[4:]) and signed.endswith(data)
    assert tool("package", "signed.img", "unsigned.img", "-o", "p.img").returncode == 0
    assert (tmp_path / "p.img").read_bytes() == signed + (tmp_path / "unsigned.img").read_bytes()
    assert tool("info", "p.img", "--key", pub).stdout.count("crc good") == 2

    # Attaching to a signed component replaces its signature: still one entry, now the development key's.
    dev_pub = KEY["development"][1]
    (tmp_path / "dev.bin").write_bytes(sign(data, "development"))
    assert tool("attach-signature", "signed.img", "dev.bin", "-o", "resigned.img").returncode == 0
    comp = (tmp_path / "resigned.img").read_bytes()
    assert [t for t, _ in entries(comp)] == [6, 3]
    r = tool("info", "resigned.img", "--key", dev_pub, "--key", pub)
    assert r.returncode == 0 and f"{dev_pub} good" in r.stdout and f"{pub} bad" in r.stdout
    # A signature that does not match the key given is refused, and nothing is written.
    r = tool("attach-signature", "unsigned.img", "dev.bin", "--key", pub, "-o", "wrong.img")
    assert r.returncode == 1 and not (tmp_path / "wrong.img").exists()


@pytest.mark.parametrize("serial,hexflag,unit_key", [
    ("ABCDEFGH1234", [], b"ABCDEFGH1234".hex() + "00" * 4),
    ("SN42", [], b"SN42".hex() + "00" * 12),
    ("00112233445566778899aabb", ["--serial-hex"], "00112233445566778899aabb" + "00" * 4),
])
def test_keyfile_decrypts_to_the_key_text_under_the_unit_key(tool, tmp_path, serial, hexflag, unit_key):
    pub = KEY["production"][1]
    text = Path(pub).read_bytes()
    r = tool("keyfile", "--serial", serial, *hexflag, "--key", pub, "-o", "key.enc")
    assert r.returncode == 0, r.stderr
    enc = (tmp_path / "key.enc").read_bytes()
    assert len(enc) == (len(text) // 16 + 1) * 16 and (len(text) != 451 or len(enc) == 464)
    plain = subprocess.run(["openssl", "enc", "-d", "-aes-128-cbc", "-K", unit_key, "-iv", "0" * 32, "-nopad",
                            "-in", "key.enc"], cwd=tmp_path, capture_output=True, check=True).stdout
    assert plain == text + b"\0" * (len(enc) - len(text))


CREATE = ["create", "--type", "kernel", "--version", "1.2.3.4"]
KEYFILE = ["keyfile", "--key", "pub.pem", "-o", "o", "--serial"]


@pytest.mark.parametrize("args,message", [
    ([], "usage"),
    (["frobnicate"], "unknown command"),
    (["create", "--type", "application", "--version", "1.2.3", "payload.bin", "-o", "o"], "version"),
    (["create", "--type", "application", "--version", "1.2.3.256", "payload.bin", "-o", "o"], "version"),
    (["create", "--type", "bootrom", "--version", "1.2.3.4", "payload.bin", "-o", "o"], "unknown type"),
    (["create", "--type", "0x81677279", "--version", "1.2.3.4", "payload.bin", "-o", "o"], "unknown type"),
    (CREATE + ["payload.bin"], "required"),
    (CREATE + ["--format", "plain", "--sign", "k.pem", "payload.bin", "-o", "o"],
     "only an hdr3 header carries a signature"),
    (CREATE + ["--type-entry", "kernel", "payload.bin", "-o", "o"], "only an hdr3 header carries a type entry"),
    (CREATE + ["--bogus", "payload.bin", "-o", "o"], "unknown option"),
    (CREATE + ["missing.bin", "-o", "o"], "cannot read missing.bin"),
    (CREATE + ["hdr3.bin", "-o", "o"], "readers would take it"),
    (CREATE + ["short.bin", "-o", "o"], "shorter than the 24 bytes"),
    (CREATE + ["--sign", "payload.bin", "payload.bin", "-o", "o"], "not a PEM private key"),
    (["info", "missing.img"], "cannot read missing.img"),
    (["digest", "/dev/null"], "not a regular file"),
    (["info", "payload.bin", "--key", "payload.bin"], "not a public key"),
    (["package", "payload.bin", "-o", "o"], "header gives a component of"),
    (["package", "short.bin", "-o", "o"], "too short for a component"),
    (["digest", "a", "b"], "exactly one COMPONENT"),
    (KEYFILE + ["THIRTEENCHARS"], "1 to 12 characters"),
    (KEYFILE + ["00112233445566778899aabbcc", "--serial-hex"], "24 hex digits"),
    (KEYFILE + ["0" * 24, "--serial-hex"], "all-zero serial"),
    (["keyfile", "--serial", "X", "--key", "missing.pem", "-o", "o"], "cannot read missing.pem"),
])
def test_bad_arguments_and_unreadable_files_exit_2_with_one_line(tool, tmp_path, args, message):
    payload(tmp_path)
    (tmp_path / "hdr3.bin").write_bytes(b"HDR3" + bytes(100))
    (tmp_path / "short.bin").write_bytes(b"1234567")
    shutil.copy(KEY["production"][1], tmp_path / "pub.pem")
    r = tool(*args)
    assert r.returncode == 2, (r.stdout, r.stderr)
    assert message in r.stderr and (not args or len(r.stderr.splitlines()) == 1), r.stderr
    assert not (tmp_path / "o").exists()
