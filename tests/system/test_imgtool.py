"""The host image tool: components made, packaged, signed and inspected on the host,
checked byte for byte here and judged by the loader's own code inside the tool."""

import hashlib
import os
import shutil
import struct
import subprocess
import zlib
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
APPLICATION, KERNEL, RFS, DIAGNOSTICS = 0x01677279, 0x03677279, 0x04677279, 0x06677279


@pytest.fixture(scope="module")
def imgtool(sim_path):
    """Built next to imgloader-sim; IMGTOOL names another one."""
    path = os.environ.get("IMGTOOL") or (sim_path and str(sim_path.parent / "imgtool"))
    if not path or not os.access(path, os.X_OK):
        pytest.skip("imgtool not built (needs --sim next to it, or IMGTOOL)")
    return path


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    """Private and public halves of the production and development test keys."""
    found = {}
    for name in ("production", "development"):
        for private, public in ((f"{name}.key.pem", f"{name}.pub.pem"),
                                (f"{name}_private.pem", f"{name}_public.pem")):
            if (REPO / "keys/test" / private).exists() and (REPO / "keys/test" / public).exists():
                found[name] = (REPO / "keys/test" / private, REPO / "keys/test" / public)
                break
        else:
            d = tmp_path_factory.mktemp("keys")
            subprocess.run(["openssl", "genrsa", "-out", d / "key.pem", "2048"], check=True, capture_output=True)
            subprocess.run(["openssl", "pkey", "-in", d / "key.pem", "-pubout", "-out", d / "pub.pem"],
                           check=True, capture_output=True)
            found[name] = (d / "key.pem", d / "pub.pem")
    return found


@pytest.fixture
def tool(imgtool, tmp_path):
    def run(*args):
        return subprocess.run([imgtool, *map(str, args)], cwd=tmp_path, capture_output=True, text=True)
    return run


def payload(tmp_path, size=1000, name="payload.bin", seed=b"x"):
    data = hashlib.shake_256(seed).digest(size)
    (tmp_path / name).write_bytes(data)
    return data


def fields(comp):
    crc, length, magic, ident = struct.unpack(">4I", comp[:16])
    return crc, length, magic, ident


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
    r = tool("create", "--type", "application", "--version", "1.2.3.250", "--format", fmt, *extra,
             "payload.bin", "-o", "c.img")
    assert r.returncode == 0, r.stderr
    comp = (tmp_path / "c.img").read_bytes()
    crc, length, magic, ident = fields(comp)
    assert comp[hdrlen:] == data and len(comp) == hdrlen + len(data)
    assert crc == zlib.crc32(comp[4:]) ^ 0xFFFFFFFF
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


def test_package_walks_every_component_and_a_cut_file_is_reported(tool, tmp_path, keys):
    payload(tmp_path, 500)
    made = [("kernel", "plain", []), ("rfs", "extended", []), ("application", "hdr3", ["--sign", keys["production"][0]]),
            ("0x12345678", "plain", [])]
    for i, (kind, fmt, extra) in enumerate(made):
        r = tool("create", "--type", kind, "--version", f"{i}.0.0.1", "--format", fmt, *extra, "payload.bin",
                 "-o", f"c{i}.img")
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


@pytest.mark.parametrize("fmt", ["plain", "extended", "hdr3"])
@pytest.mark.parametrize("where", [0, 13, 16, -1])  # stored CRC, version, offset 16, last payload byte
def test_a_flipped_byte_makes_the_crc_bad(tool, tmp_path, fmt, where):
    payload(tmp_path)
    tool("create", "--type", "kernel", "--version", "1.0.0.0", "--format", fmt, "payload.bin", "-o", "c.img")
    comp = bytearray((tmp_path / "c.img").read_bytes())
    tool("create", "--type", "rfs", "--version", "1.0.0.0", "payload.bin", "-o", "ok.img")
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
def test_signature_is_judged_by_the_loaders_check_under_each_key(tool, tmp_path, keys, signer, given, status):
    data = payload(tmp_path)
    r = tool("create", "--type", "application", "--version", "2.0.0.0", "--sign", keys[signer][0], "payload.bin",
             "-o", "s.img")
    assert r.returncode == 0, r.stderr
    comp = (tmp_path / "s.img").read_bytes()
    (tag, value), = entries(comp)
    sig = value[2:]
    assert tag == 3 and struct.unpack(">H", value[:2])[0] == len(sig) == 256
    # Cross-check the signature with OpenSSL, independently of the loader's RSA code.
    (tmp_path / "sig.bin").write_bytes(sig)
    v = subprocess.run(["openssl", "dgst", "-sha256", "-verify", keys[signer][1], "-signature", "sig.bin",
                        "payload.bin"], cwd=tmp_path, capture_output=True)
    assert v.returncode == 0 and comp[286:] == data
    args = [a for k in given for a in ("--key", keys[k][1])]
    r = tool("info", "s.img", *args)
    assert r.returncode == status, r.stdout
    for k in given:
        assert f"{keys[k][1]} {'good' if k == signer else 'bad'}" in r.stdout


@pytest.mark.parametrize("how", ["pkeyutl", "dgst"])
def test_digest_and_attach_signature_equal_signing_with_the_key(tool, tmp_path, keys, how):
    data = payload(tmp_path, 4096)
    key, pub = keys["production"]
    tool("create", "--type", "kernel", "--version", "3.1.4.1", "--format", "hdr3", "--type-entry", "0x01677279",
         "payload.bin", "-o", "unsigned.img")
    tool("create", "--type", "kernel", "--version", "3.1.4.1", "--type-entry", "0x01677279", "--sign", key,
         "payload.bin", "-o", "signed.img")
    r = tool("digest", "unsigned.img")
    assert r.returncode == 0 and r.stdout.strip() == hashlib.sha256(data).hexdigest()
    (tmp_path / "digest.bin").write_bytes(bytes.fromhex(r.stdout.strip()))
    cmd = (["openssl", "pkeyutl", "-sign", "-inkey", key, "-pkeyopt", "digest:sha256", "-in", "digest.bin"]
           if how == "pkeyutl" else ["openssl", "dgst", "-sha256", "-sign", key, "payload.bin"])
    (tmp_path / "sig.bin").write_bytes(subprocess.run(cmd, cwd=tmp_path, capture_output=True, check=True).stdout)
    r = tool("attach-signature", "unsigned.img", "sig.bin", "--key", pub, "-o", "attached.img")
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "attached.img").read_bytes() == (tmp_path / "signed.img").read_bytes()

    # Attaching to a signed component replaces its signature: still one entry, now the development key's.
    dev_key, dev_pub = keys["development"]
    (tmp_path / "dev.bin").write_bytes(subprocess.run(
        ["openssl", "dgst", "-sha256", "-sign", dev_key, "payload.bin"], cwd=tmp_path, capture_output=True,
        check=True).stdout)
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
def test_keyfile_decrypts_to_the_key_text_under_the_unit_key(tool, tmp_path, keys, serial, hexflag, unit_key):
    pub = keys["production"][1]
    text = Path(pub).read_bytes()
    r = tool("keyfile", "--serial", serial, *hexflag, "--key", pub, "-o", "key.enc")
    assert r.returncode == 0, r.stderr
    enc = (tmp_path / "key.enc").read_bytes()
    assert len(enc) == (len(text) // 16 + 1) * 16 and (len(text) != 451 or len(enc) == 464)
    plain = subprocess.run(["openssl", "enc", "-d", "-aes-128-cbc", "-K", unit_key, "-iv", "0" * 32, "-nopad",
                            "-in", "key.enc"], cwd=tmp_path, capture_output=True, check=True).stdout
    assert plain == text + b"\0" * (len(enc) - len(text))


@pytest.mark.parametrize("args,message", [
    ([], "usage"),
    (["frobnicate"], "unknown command"),
    (["create", "--type", "application", "--version", "1.2.3", "payload.bin", "-o", "o"], "version"),
    (["create", "--type", "application", "--version", "1.2.3.256", "payload.bin", "-o", "o"], "version"),
    (["create", "--type", "bootrom", "--version", "1.2.3.4", "payload.bin", "-o", "o"], "unknown type"),
    (["create", "--type", "0x81677279", "--version", "1.2.3.4", "payload.bin", "-o", "o"], "unknown type"),
    (["create", "--type", "kernel", "--version", "1.2.3.4", "payload.bin"], "required"),
    (["create", "--type", "kernel", "--version", "1.2.3.4", "--format", "plain", "--sign", "k.pem", "payload.bin",
      "-o", "o"], "only an hdr3 header carries a signature"),
    (["create", "--type", "kernel", "--version", "1.2.3.4", "--type-entry", "kernel", "payload.bin", "-o", "o"],
     "only an hdr3 header carries a type entry"),
    (["create", "--type", "kernel", "--version", "1.2.3.4", "--bogus", "payload.bin", "-o", "o"], "unknown option"),
    (["create", "--type", "kernel", "--version", "1.2.3.4", "missing.bin", "-o", "o"], "cannot read missing.bin"),
    (["create", "--type", "kernel", "--version", "1.2.3.4", "hdr3.bin", "-o", "o"], "readers would take it"),
    (["create", "--type", "kernel", "--version", "1.2.3.4", "short.bin", "-o", "o"], "shorter than the 24 bytes"),
    (["create", "--type", "kernel", "--version", "1.2.3.4", "--sign", "payload.bin", "payload.bin", "-o", "o"],
     "not a PEM private key"),
    (["info", "missing.img"], "cannot read missing.img"),
    (["info", "payload.bin", "--key", "payload.bin"], "not a public key"),
    (["package", "payload.bin", "-o", "o"], "header gives a component of"),
    (["package", "short.bin", "-o", "o"], "too short for a component"),
    (["digest", "a", "b"], "exactly one COMPONENT"),
    (["keyfile", "--serial", "THIRTEENCHARS", "--key", "pub.pem", "-o", "o"], "1 to 12 characters"),
    (["keyfile", "--serial", "00112233445566778899aabbcc", "--serial-hex", "--key", "pub.pem", "-o", "o"],
     "24 hex digits"),
    (["keyfile", "--serial", "0" * 24, "--serial-hex", "--key", "pub.pem", "-o", "o"], "all-zero serial"),
    (["keyfile", "--serial", "X", "--key", "missing.pem", "-o", "o"], "cannot read missing.pem"),
])
def test_bad_arguments_and_unreadable_files_exit_2_with_one_line(tool, tmp_path, keys, args, message):
    payload(tmp_path)
    (tmp_path / "hdr3.bin").write_bytes(b"HDR3" + bytes(100))
    (tmp_path / "short.bin").write_bytes(b"1234567")
    shutil.copy(keys["production"][1], tmp_path / "pub.pem")
    r = tool(*args)
    assert r.returncode == 2, (r.stdout, r.stderr)
    assert message in r.stderr and (not args or len(r.stderr.splitlines()) == 1), r.stderr
    assert not (tmp_path / "o").exists()


@pytest.mark.parametrize("command", ["create", "package", "info", "digest", "attach-signature", "keyfile"])
def test_every_command_has_help(tool, command):
    r = tool(command, "--help")
    assert r.returncode == 0 and r.stdout.startswith(f"usage: imgtool {command}")
