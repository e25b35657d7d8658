#!/usr/bin/env python3
"""Generate src/core/unicode_tables_generated.cpp from the Unicode Character Database.

The generated file implements vaskel::unicode::props() (declared in
src/core/unicode_props.hpp) as a two-stage lookup table: the code space is cut
into blocks of equal size, identical blocks are stored once, and a first-stage
array maps each block number to its stored block. A lookup is two array reads.

Input: the Unicode 15.0.0 data files as installed by Debian's unicode-data
package (UnicodeData.txt, PropList.txt, DerivedCoreProperties.txt; the self
test also reads extracted/DerivedGeneralCategory.txt). The build never reads
these files; the generated C++ file is kept in the repository.

Usage, from the repository root:
    python3 tools/gen_unicode_tables.py [--data-dir DIR] [--output FILE] [--self-test]
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

UNICODE_VERSION = "15.0.0"
DEFAULT_DATA_DIR = "/usr/share/unicode"
MAX_CP = 0x10FFFF
NUM_CPS = MAX_CP + 1

# Property bits; they must match enum Prop in src/core/unicode_props.hpp, and the
# generated file checks that they do (PROP_NAMES gives each bit's enumerator).
ALPHABETIC = 1 << 0
NUMBER = 1 << 1
WHITE_SPACE = 1 << 2
GRAPHEME_EXTEND = 1 << 3
NOT_PRINTABLE = 1 << 4

PROP_NAMES = {
    "kAlphabetic": ALPHABETIC,
    "kNumber": NUMBER,
    "kWhiteSpace": WHITE_SPACE,
    "kGraphemeExtend": GRAPHEME_EXTEND,
    "kNotPrintable": NOT_PRINTABLE,
}

NUMBER_CATEGORIES = {"Nd", "Nl", "No"}
NOT_PRINTABLE_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}

# White_Space=Yes in Unicode 15.0, as a sanity check of the parsed data.
EXPECTED_WHITE_SPACE = (
    set(range(0x09, 0x0E)) | {0x20, 0x85, 0xA0, 0x1680} | set(range(0x2000, 0x200B))
    | {0x2028, 0x2029, 0x202F, 0x205F, 0x3000}
)

# Candidate block sizes (as shifts); the one giving the smallest tables wins.
BLOCK_SHIFTS = (6, 7, 8, 9)

REGEN_COMMAND = "python3 tools/gen_unicode_tables.py --data-dir /usr/share/unicode"
OUTPUT_REL = "src/core/unicode_tables_generated.cpp"


class DataError(Exception):
    """The data files are missing, malformed or of the wrong version."""


def read_lines(path: Path) -> list[str]:
    try:
        return path.read_text(encoding="utf-8").splitlines()
    except FileNotFoundError:
        raise DataError(f"{path}: file not found (is Debian's unicode-data installed?)") from None


def check_version_header(path: Path, lines: list[str]) -> None:
    """The first line of most UCD files names the file and its version, e.g. '# PropList-15.0.0.txt'."""
    first = lines[0].strip() if lines else ""
    m = re.fullmatch(r"#\s*([A-Za-z]+)-(\d+\.\d+\.\d+)\.txt", first)
    if not m:
        raise DataError(f"{path}: no version header on the first line (found {first!r})")
    if m.group(2) != UNICODE_VERSION:
        raise DataError(f"{path}: Unicode version {m.group(2)}, expected {UNICODE_VERSION}")


def parse_unicode_data(data_dir: Path) -> list[str]:
    """General category of every code point; code points not listed are Cn."""
    path = data_dir / "UnicodeData.txt"
    lines = read_lines(path)
    gc = ["Cn"] * NUM_CPS
    range_start: tuple[int, str] | None = None
    for lineno, line in enumerate(lines, 1):
        if not line.strip():
            continue
        fields = line.split(";")
        if len(fields) != 15:
            raise DataError(f"{path}:{lineno}: expected 15 fields, found {len(fields)}")
        cp = int(fields[0], 16)
        name, cat = fields[1], fields[2]
        if name.endswith(", First>"):
            if range_start is not None:
                raise DataError(f"{path}:{lineno}: range start inside another range")
            range_start = (cp, cat)
            continue
        if name.endswith(", Last>"):
            if range_start is None or range_start[1] != cat:
                raise DataError(f"{path}:{lineno}: range end without a matching start")
            for c in range(range_start[0], cp + 1):
                gc[c] = cat
            range_start = None
            continue
        if range_start is not None:
            raise DataError(f"{path}:{lineno}: unterminated range")
        gc[cp] = cat
    if range_start is not None:
        raise DataError(f"{path}: unterminated range at end of file")
    return gc


def check_unicode_data_version(data_dir: Path, gc: list[str]) -> None:
    """UnicodeData.txt carries no version line: check the directory's ReadMe.txt
    and two repertoire markers (U+11F00 was added in 15.0, U+2EBF0 in 15.1)."""
    readme = data_dir / "ReadMe.txt"
    text = "\n".join(read_lines(readme))
    m = re.search(r"for Version (\d+\.\d+\.\d+) of the Unicode Standard", text)
    if not m:
        raise DataError(f"{readme}: no 'for Version X.Y.Z of the Unicode Standard' line")
    if m.group(1) != UNICODE_VERSION:
        raise DataError(f"{readme}: Unicode version {m.group(1)}, expected {UNICODE_VERSION}")
    if gc[0x11F00] == "Cn" or gc[0x2EBF0] != "Cn":
        raise DataError(f"{data_dir / 'UnicodeData.txt'}: repertoire is not that of Unicode {UNICODE_VERSION}")


def parse_property_file(path: Path, wanted: set[str]) -> dict[str, set[int]]:
    """Code point sets of the named binary properties in a 'range ; property' file."""
    lines = read_lines(path)
    check_version_header(path, lines)
    sets: dict[str, set[int]] = {name: set() for name in wanted}
    for lineno, raw in enumerate(lines, 1):
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        fields = [f.strip() for f in line.split(";")]
        if len(fields) < 2:
            raise DataError(f"{path}:{lineno}: malformed line")
        if fields[1] not in sets:
            continue
        lo, _, hi = fields[0].partition("..")
        first = int(lo, 16)
        last = int(hi, 16) if hi else first
        sets[fields[1]].update(range(first, last + 1))
    for name, cps in sets.items():
        if not cps:
            raise DataError(f"{path}: property {name} not found")
    return sets


def compute_props(data_dir: Path) -> tuple[bytearray, list[str]]:
    gc = parse_unicode_data(data_dir)
    check_unicode_data_version(data_dir, gc)
    plist = parse_property_file(data_dir / "PropList.txt", {"White_Space"})
    dcp = parse_property_file(data_dir / "DerivedCoreProperties.txt", {"Alphabetic", "Grapheme_Extend"})
    if plist["White_Space"] != EXPECTED_WHITE_SPACE:
        raise DataError("PropList.txt: White_Space differs from the known Unicode 15.0 set")

    props = bytearray(NUM_CPS)
    for cp in dcp["Alphabetic"]:
        props[cp] |= ALPHABETIC
    for cp in plist["White_Space"]:
        props[cp] |= WHITE_SPACE
    for cp in dcp["Grapheme_Extend"]:
        props[cp] |= GRAPHEME_EXTEND
    for cp in range(NUM_CPS):
        cat = gc[cp]
        if cat in NUMBER_CATEGORIES:
            props[cp] |= NUMBER
        elif cat in NOT_PRINTABLE_CATEGORIES and cp != 0x20:
            props[cp] |= NOT_PRINTABLE
    return props, gc


def build_tables(props: bytearray, shift: int) -> tuple[list[int], list[bytes]]:
    """Stage 1: block index per block number; stage 2: the distinct blocks."""
    size = 1 << shift
    index: dict[bytes, int] = {}
    stage1: list[int] = []
    blocks: list[bytes] = []
    for start in range(0, NUM_CPS, size):
        block = bytes(props[start:start + size])
        pos = index.get(block)
        if pos is None:
            pos = len(blocks)
            index[block] = pos
            blocks.append(block)
        stage1.append(pos)
    return stage1, blocks


def table_cost(stage1: list[int], blocks: list[bytes], shift: int) -> int:
    width = 1 if len(blocks) <= 256 else 2
    return len(stage1) * width + len(blocks) * (1 << shift)


def choose_tables(props: bytearray) -> tuple[int, list[int], list[bytes]]:
    best = None
    for shift in BLOCK_SHIFTS:
        stage1, blocks = build_tables(props, shift)
        cost = table_cost(stage1, blocks, shift)
        if best is None or cost < best[0]:
            best = (cost, shift, stage1, blocks)
    assert best is not None
    return best[1], best[2], best[3]


def format_array(values: list[int], per_line: int, width: int) -> list[str]:
    fmt = "0x{:0%dX}," % width
    out = []
    for i in range(0, len(values), per_line):
        out.append("    " + " ".join(fmt.format(v) for v in values[i:i + per_line]))
    return out


def render(shift: int, stage1: list[int], blocks: list[bytes]) -> str:
    size = 1 << shift
    stage1_type = "std::uint8_t" if len(blocks) <= 256 else "std::uint16_t"
    stage1_width = 2 if len(blocks) <= 256 else 4
    lines = [
        "// GENERATED FILE - DO NOT EDIT.",
        "// Generated by tools/gen_unicode_tables.py from the Unicode Character Database,",
        f"// Unicode {UNICODE_VERSION}, as installed by Debian's unicode-data package (UnicodeData.txt,",
        "// PropList.txt, DerivedCoreProperties.txt). To regenerate, from the repository root:",
        f"//     {REGEN_COMMAND}",
        "//",
        "// Two-stage lookup: kStage1 maps a block number (code point >> kShift) to a",
        "// block of kStage2; identical blocks are stored once.",
        "",
        '#include "core/unicode_props.hpp"',
        "",
        "#include <cstddef>",
        "#include <cstdint>",
        "",
        "namespace vaskel::unicode {",
        "",
        "// The tables were computed with these bit values; a change to enum Prop that",
        "// is not made in the generator as well stops the build here.",
        *(f"static_assert({name} == 0x{bit:02X}u, \"{name} differs from the bit the tables were generated with\");"
          for name, bit in PROP_NAMES.items()),
        "",
        "namespace {",
        "",
        f"constexpr unsigned kShift = {shift};",
        f"constexpr std::size_t kBlockSize = std::size_t{{1}} << kShift;  // {size} code points",
        f"constexpr std::size_t kBlockCount = {len(blocks)};",
        "",
        f"constexpr {stage1_type} kStage1[{len(stage1)}] = {{",
        *format_array(stage1, 16, stage1_width),
        "};",
        "",
        f"constexpr std::uint8_t kStage2[kBlockCount * kBlockSize] = {{",
    ]
    for i, block in enumerate(blocks):
        lines.append(f"    // block {i}")
        lines.extend(format_array(list(block), 16, 2))
    lines += [
        "};",
        "",
        "static_assert(sizeof(kStage1) / sizeof(kStage1[0]) == (0x10FFFFu >> kShift) + 1);",
        "",
        "}  // namespace",
        "",
        "std::uint8_t props(char32_t cp) noexcept {",
        "    if (cp > 0x10FFFFu) {",
        "        return 0;",
        "    }",
        "    return kStage2[std::size_t{kStage1[cp >> kShift]} * kBlockSize + (cp & (kBlockSize - 1))];",
        "}",
        "",
        "}  // namespace vaskel::unicode",
        "",
    ]
    return "\n".join(lines)


def parse_generated(text: str) -> tuple[int, list[int], list[int]]:
    """Read the tables back out of a generated file (for the self test)."""
    shift = int(re.search(r"constexpr unsigned kShift = (\d+);", text).group(1))

    def array(name: str) -> list[int]:
        m = re.search(name + r"\[[^\]]*\] = \{(.*?)\n\};", text, re.S)
        body = re.sub(r"//[^\n]*", "", m.group(1))
        return [int(v, 16) for v in re.findall(r"0x[0-9A-F]+", body)]

    return shift, array("kStage1"), array("kStage2")


def self_test(data_dir: Path, props: bytearray, gc: list[str], output: Path) -> None:
    """Cross-check the parsed data against an independent file and the emitted
    tables against the direct per-code-point properties."""
    failures: list[str] = []

    # General categories from UnicodeData.txt (ranges, unlisted = Cn) against
    # extracted/DerivedGeneralCategory.txt, which lists every code point.
    path = data_dir / "extracted" / "DerivedGeneralCategory.txt"
    lines = read_lines(path)
    check_version_header(path, lines)
    derived = ["Cn"] * NUM_CPS
    for raw in lines:
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        rng, cat = (f.strip() for f in line.split(";")[:2])
        lo, _, hi = rng.partition("..")
        for cp in range(int(lo, 16), (int(hi, 16) if hi else int(lo, 16)) + 1):
            derived[cp] = cat
    bad = [cp for cp in range(NUM_CPS) if derived[cp] != gc[cp]]
    if bad:
        failures.append(f"general category differs from {path.name} at {len(bad)} code points, "
                        f"first U+{bad[0]:04X}")

    # Known values.
    spot = {
        0x41: ALPHABETIC, 0x30: NUMBER, 0xE9: ALPHABETIC, 0x00B2: NUMBER, 0x0661: NUMBER,
        0x2167: ALPHABETIC | NUMBER,  # ROMAN NUMERAL EIGHT: Nl and Alphabetic
        0x20: WHITE_SPACE, 0x0A: WHITE_SPACE | NOT_PRINTABLE, 0x85: WHITE_SPACE | NOT_PRINTABLE,
        0xA0: WHITE_SPACE | NOT_PRINTABLE, 0x3000: WHITE_SPACE | NOT_PRINTABLE,
        0x0301: GRAPHEME_EXTEND, 0x200C: GRAPHEME_EXTEND | NOT_PRINTABLE, 0x200D: NOT_PRINTABLE,
        0x11F00: ALPHABETIC | GRAPHEME_EXTEND, 0x11F02: ALPHABETIC,  # Kawi, new in 15.0
        0x2EBF0: NOT_PRINTABLE,  # unassigned in 15.0
        0x200B: NOT_PRINTABLE, 0xD800: NOT_PRINTABLE, 0xE000: NOT_PRINTABLE,
        0x10FFFE: NOT_PRINTABLE, 0x10FFFF: NOT_PRINTABLE, 0x2019: 0, 0x00AB: 0,
    }
    for cp, want in spot.items():
        if props[cp] != want:
            failures.append(f"U+{cp:04X}: props 0x{props[cp]:02X}, expected 0x{want:02X}")

    # The emitted file, read back, must give the same value for every code point.
    shift, stage1, stage2 = parse_generated(output.read_text(encoding="utf-8"))
    mask = (1 << shift) - 1
    if len(stage1) != (MAX_CP >> shift) + 1:
        failures.append(f"{output}: stage 1 has {len(stage1)} entries")
    else:
        bad = [cp for cp in range(NUM_CPS) if stage2[(stage1[cp >> shift] << shift) | (cp & mask)] != props[cp]]
        if bad:
            failures.append(f"{output}: lookup differs at {len(bad)} code points, first U+{bad[0]:04X}")

    long_lines = [i for i, ln in enumerate(output.read_text(encoding="utf-8").splitlines(), 1) if len(ln) > 120]
    if long_lines:
        failures.append(f"{output}: lines longer than 120 characters: {long_lines[:5]}")

    if failures:
        for f in failures:
            print("self-test FAILED:", f, file=sys.stderr)
        raise SystemExit(1)
    print(f"self-test passed: {NUM_CPS} code points checked against {path.name} and {output.name}")


def main(argv: list[str] | None = None) -> int:
    repo_root = Path(__file__).resolve().parent.parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data-dir", default=DEFAULT_DATA_DIR,
                        help=f"directory holding the Unicode data files (default {DEFAULT_DATA_DIR})")
    parser.add_argument("--output", default=str(repo_root / OUTPUT_REL),
                        help=f"file to write (default {OUTPUT_REL} in the repository)")
    parser.add_argument("--self-test", action="store_true",
                        help="after writing, cross-check the data and the written tables for every code point")
    args = parser.parse_args(argv)

    data_dir = Path(args.data_dir)
    output = Path(args.output)
    try:
        props, gc = compute_props(data_dir)
    except DataError as e:
        print(f"gen_unicode_tables: error: {e}", file=sys.stderr)
        return 1

    shift, stage1, blocks = choose_tables(props)
    text = render(shift, stage1, blocks)
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_text(text, encoding="utf-8")
    size = table_cost(stage1, blocks, shift)
    print(f"wrote {output}: {1 << shift}-code-point blocks, {len(blocks)} distinct, {size} bytes of tables")

    if args.self_test:
        try:
            self_test(data_dir, props, gc, output)
        except DataError as e:
            print(f"gen_unicode_tables: error: {e}", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
