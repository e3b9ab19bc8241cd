#!/usr/bin/python3
"""Peak memory of a sandbox boot of a 64 MiB signed application image, measured
with /usr/bin/time -v around the whole sandbox run (the largest process of the run
is the loader). Target: at most the component size plus 8 MiB.

usage: bench/boot_memory.py BUILD_DIR   (BUILD_DIR holds imgloader-sim)"""

import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "system"))
sys.path.insert(0, str(REPO / "tools" / "sandbox"))
import images  # noqa: E402
import sandbox  # noqa: E402

SIZE = 64 << 20


def main():
    build = Path(sys.argv[1] if len(sys.argv) > 1 else REPO / "build" / "default")
    work = Path(tempfile.mkdtemp(prefix="boot-memory-"))
    try:
        template = sandbox.build_template(str(build / "imgloader-sim"), work / "template")
        # Incompressible payload so the archive really is 64 MiB.
        payload = images.app_archive(files={"home/bin/blob": (os.urandom(SIZE), 0o644)})
        image = images.component(images.APPLICATION, payload, key="production")
        upper = work / "upper"
        (upper / "user/images").mkdir(parents=True)
        (upper / "user/images/image1").write_bytes(image)
        (upper / "board").mkdir()
        (upper / "board/config").write_text("time_scale 0.01\n")
        run = sandbox.Run(template, upper, None, [])
        argv = ["/usr/bin/time", "-v"] + run.argv()
        out = subprocess.run(["script", "-qec", " ".join(argv), "/dev/null"], capture_output=True, text=True,
                             stdin=subprocess.DEVNULL)
        text = out.stdout + out.stderr
        peak_kib = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1))
        booted = "application 1.0.0.0 running" in text
        limit_kib = (len(image) + (8 << 20)) // 1024
        print(f"component {len(image) / 2**20:.1f} MiB, booted: {booted}")
        print(f"peak RSS {peak_kib / 1024:.1f} MiB, limit {limit_kib / 1024:.1f} MiB "
              f"(component + 8 MiB): {'within' if peak_kib <= limit_kib else 'OVER'}")
        run.cleanup(keep_upper=True)
    finally:
        sandbox.remove_tree(work)


if __name__ == "__main__":
    main()
