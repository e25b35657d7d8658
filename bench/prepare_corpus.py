"""Builds the French benchmark corpus: Debian's French manual pages as plain text.

Installs the manpages-fr package when it is missing (apt-get, as root), renders
every page with groff to UTF-8 text without formatting, and writes the
concatenation to bench/corpus/fr.txt (at least MIN_BYTES bytes).
"""

from __future__ import annotations

import gzip
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

MAN_DIR = Path("/usr/share/man/fr")
OUT = Path(__file__).resolve().parent / "corpus" / "fr.txt"
MIN_BYTES = 2_000_000
ANSI = re.compile(r"\x1b\[[0-9;]*m")


def ensure_package() -> None:
    if MAN_DIR.is_dir() and any(MAN_DIR.rglob("*.gz")):
        return
    if shutil.which("apt-get") is None or os.geteuid() != 0:
        sys.exit("the corpus needs Debian's manpages-fr package: apt-get install manpages-fr")
    subprocess.run(["apt-get", "update", "-qq"], check=True)
    subprocess.run(["apt-get", "install", "-y", "-qq", "manpages-fr", "groff-base"], check=True)


def render(page: Path) -> str:
    source = gzip.decompress(page.read_bytes())
    done = subprocess.run(
        ["groff", "-k", "-Kutf8", "-Tutf8", "-man", "-P-cbou", "-Wall"],
        input=source, capture_output=True, check=False,
        env={**os.environ, "GROFF_NO_SGR": "1"},
    )
    return ANSI.sub("", done.stdout.decode("utf-8", "replace"))


def main() -> None:
    if OUT.exists() and OUT.stat().st_size >= MIN_BYTES:
        return
    ensure_package()
    OUT.parent.mkdir(parents=True, exist_ok=True)
    parts, size = [], 0
    for page in sorted(MAN_DIR.rglob("*.gz")):
        text = render(page)
        parts.append(text)
        size += len(text.encode("utf-8"))
    if size < MIN_BYTES:
        sys.exit(f"only {size} bytes of French text rendered; expected at least {MIN_BYTES}")
    OUT.write_text("".join(parts), encoding="utf-8")
    print(f"corpus: {OUT} ({size / 1e6:.1f} MB from {len(parts)} pages)")


if __name__ == "__main__":
    main()
