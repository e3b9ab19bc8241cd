#!/usr/bin/python3
"""Whole processes on one file, side by side: `imgtool info FILE --key PUB` and
the boot's read-and-check (imgl_check_file: open to verdict through the
loader's functions) against `openssl dgst -sha256 FILE`. CPU time is user +
system of the child as the kernel accounts it (minimum of the runs), peak
memory its maximum resident set (largest of the runs). The files are signed
application images, read once before timing so that all come from the page
cache.

Targets: info at most 1.3 x openssl's CPU time with at most 16 MiB peak; the
check at most 1.5 x at 64 MiB with at most component + 8 MiB; CPU per MiB
about the same at every size.

usage: bench/whole_process.py BUILD_DIR [--runs N] [--sizes MiB...]"""

import argparse
import os
import subprocess
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
KEY = REPO / "keys/test/production.key.pem"
PUB = REPO / "keys/test/production.pub.pem"
MiB = 1 << 20


def measure(argv):
    """(CPU seconds, peak RSS in KiB) of one run; the output is discarded.
    A child of this process would count this interpreter's memory in its
    peak (the kernel keeps the largest resident set across fork and exec), so
    the program runs under /usr/bin/time, which is small and reports the peak;
    the CPU time, which is finer than time's, comes from wait4 on time and so
    includes its own, well below a millisecond."""
    with open(os.devnull, "wb") as null:
        p = subprocess.Popen(["/usr/bin/time", "-f", "%M", *argv], stdout=null, stderr=subprocess.PIPE)
        err = p.stderr.read().decode(errors="replace")
        _, status, usage = os.wait4(p.pid, 0)
        p.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{argv[0]} failed ({status}): {err}")
    return usage.ru_utime + usage.ru_stime, int(err.split()[-1])


def best(argv, runs):
    samples = [measure(argv) for _ in range(runs)]
    return min(s[0] for s in samples), max(s[1] for s in samples)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("build", type=Path)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--sizes", type=int, nargs="+", default=[1, 8, 64, 256])
    args = ap.parse_args()
    imgtool = str(args.build / "imgtool")
    check = str(args.build / "bench/imgl_check_file")

    print(f"== whole processes ({args.runs} runs: least CPU time, largest peak RSS)")
    print(f"   load before: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f} "
          f"on {os.cpu_count()} CPUs")
    print(f"  {'MiB':>4} {'openssl':>9} {'info':>9} {'ratio':>6} {'RSS MiB':>8} {'check':>9} {'ratio':>6} "
          f"{'RSS MiB':>8} {'limit':>6}  ms per MiB added (openssl/info/check)")
    previous = None
    with tempfile.TemporaryDirectory(prefix="whole-process-") as work:
        for size in args.sizes:
            payload = Path(work) / "payload"
            image = Path(work) / f"image-{size}"
            with open(payload, "wb") as f:
                for _ in range(size):
                    f.write(os.urandom(MiB))
            subprocess.run([imgtool, "create", "--type", "application", "--version", "1.0.0.0", "--sign", str(KEY),
                            str(payload), "-o", str(image)], check=True)
            payload.unlink()
            subprocess.run(["cat", str(image)], stdout=subprocess.DEVNULL, check=True)  # into the page cache
            ref_cpu, _ = best(["openssl", "dgst", "-sha256", str(image)], args.runs)
            info_cpu, info_rss = best([imgtool, "info", str(image), "--key", str(PUB)], args.runs)
            check_cpu, check_rss = best([check, str(image), str(PUB)], args.runs)
            limit = image.stat().st_size / MiB + 8
            # Linear scaling: the cost of each added MiB stays the same from size to size.
            slope = ""
            if previous:
                added = size - previous[0]
                slope = " / ".join(f"{(now - before) * 1e3 / added:.2f}"
                                   for now, before in zip((ref_cpu, info_cpu, check_cpu), previous[1:]))
            previous = (size, ref_cpu, info_cpu, check_cpu)
            print(f"  {size:>4} {ref_cpu * 1e3:>7.1f}ms {info_cpu * 1e3:>7.1f}ms {info_cpu / ref_cpu:>6.2f} "
                  f"{info_rss / 1024:>8.1f} {check_cpu * 1e3:>7.1f}ms {check_cpu / ref_cpu:>6.2f} "
                  f"{check_rss / 1024:>8.1f} {limit:>6.1f}  {slope}")
            image.unlink()
    print(f"   load after: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f}")


if __name__ == "__main__":
    main()
