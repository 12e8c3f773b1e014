#!/usr/bin/env python3
"""Generates zelvo-runtime/src/eval/unicode_case_tables.cc.

Reads the Unicode Character Database files (Debian's unicode-data package
installs them under /usr/share/unicode) and writes compact C++ tables for
full case mapping:

  - simple upper/lower mappings (UnicodeData.txt fields 12 and 13) as runs
    of code points sharing one delta, with stride 1 or 2 (the alternating
    upper/lower layout of many Latin, Greek and Cyrillic blocks);
  - the unconditional multi-character (or overriding) mappings of
    SpecialCasing.txt; conditional entries (Final_Sigma, language-specific)
    are left out: the final-sigma rule is applied in code;
  - the Cased and Case_Ignorable properties (DerivedCoreProperties.txt) as
    sorted, disjoint ranges.

The output is deterministic; the build needs only the generated file.

Usage: scripts/gen_unicode_tables.py [--ucd DIR] [--out FILE]
"""

import argparse
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_OUT = os.path.join(ROOT, "zelvo-runtime", "src", "eval", "unicode_case_tables.cc")
MAX_FULL = 3


def read_lines(path):
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield line


def parse_unicode_data(path):
    upper, lower = {}, {}
    for line in read_lines(path):
        fields = line.split(";")
        cp = int(fields[0], 16)
        if fields[12]:
            upper[cp] = int(fields[12], 16)
        if fields[13]:
            lower[cp] = int(fields[13], 16)
    return upper, lower


def parse_special_casing(path):
    """Unconditional full mappings: cp -> (lower, upper) code point tuples."""
    special = {}
    for line in read_lines(path):
        fields = [f.strip() for f in line.split(";")]
        # code; lower; title; upper; [conditions;]
        if len(fields) > 4 and fields[4]:
            continue
        cp = int(fields[0], 16)
        low = tuple(int(x, 16) for x in fields[1].split())
        up = tuple(int(x, 16) for x in fields[3].split())
        special[cp] = (low, up)
    return special


def parse_property_ranges(path, wanted):
    ranges = {name: [] for name in wanted}
    for line in read_lines(path):
        cps, prop = [f.strip() for f in line.split(";")[:2]]
        if prop not in ranges:
            continue
        if ".." in cps:
            a, b = cps.split("..")
            ranges[prop].append((int(a, 16), int(b, 16)))
        else:
            ranges[prop].append((int(cps, 16), int(cps, 16)))
    return {name: merge_ranges(r) for name, r in ranges.items()}


def merge_ranges(ranges):
    out = []
    for a, b in sorted(ranges):
        if out and a <= out[-1][1] + 1:
            out[-1] = (out[-1][0], max(out[-1][1], b))
        else:
            out.append((a, b))
    return out


def ucd_version(path):
    with open(path, encoding="utf-8") as f:
        first = f.readline()
    m = re.search(r"-(\d+\.\d+\.\d+)\.txt", first)
    if not m:
        sys.exit("cannot read the Unicode version from " + path)
    return m.group(1)


def delta_runs(mapping):
    """Groups cp -> target into (first, count, stride, delta) runs.

    A stride-2 run only skips code points that have no mapping of their own,
    so the runs' spans [first, first + (count - 1) * stride] are disjoint and
    a binary search on `first` finds the only candidate."""
    cps = sorted(mapping)
    runs = []
    i = 0
    while i < len(cps):
        first = cps[i]
        delta = mapping[first] - first
        best = (1, 1)  # (count, stride)
        for stride in (1, 2):
            count = 1
            while True:
                nxt = first + count * stride
                if mapping.get(nxt, None) != nxt + delta:
                    break
                if stride == 2 and (nxt - 1) in mapping:
                    break
                count += 1
            if count > best[0]:
                best = (count, stride)
        count, stride = best
        assert count < 65536
        runs.append((first, count, stride, delta))
        covered = {first + k * stride for k in range(count)}
        i += 1
        while i < len(cps) and cps[i] in covered:
            i += 1
    for (a, n, s, _), (b, _, _, _) in zip(runs, runs[1:]):
        assert a + (n - 1) * s < b, "overlapping runs"
    return runs


def check_runs(runs, mapping):
    rebuilt = {}
    for first, count, stride, delta in runs:
        for k in range(count):
            cp = first + k * stride
            rebuilt[cp] = cp + delta
    assert rebuilt == mapping


def full_table(special, simple, which):
    """Entries whose full mapping differs from the simple one."""
    out = []
    for cp in sorted(special):
        target = special[cp][which]
        simple_target = (simple.get(cp, cp),)
        if target != simple_target:
            assert 1 <= len(target) <= MAX_FULL
            out.append((cp, target))
    return out


def emit(out, version, upper_runs, lower_runs, upper_full, lower_full, cased, ignorable):
    w = out.write
    w("// Generated by scripts/gen_unicode_tables.py from the Unicode Character\n")
    w("// Database %s (UnicodeData.txt, SpecialCasing.txt,\n" % version)
    w("// DerivedCoreProperties.txt). Do not edit; rerun the script instead.\n")
    w('#include "eval/unicode_case_tables.h"\n\n')
    w("namespace zelvo::unicode::tables {\n\n")
    w('const char kUnicodeVersion[] = "%s";\n\n' % version)

    def runs(name, rows):
        w("constexpr CaseRun k%s[] = {\n" % name)
        for first, count, stride, delta in rows:
            w("    {0x%04X, %d, %d, %d},\n" % (first, count, stride, delta))
        w("};\n")
        w("constexpr std::span<const CaseRun> %s(k%s);\n\n" % (snake(name), name))

    def full(name, rows):
        w("constexpr FullMapping k%s[] = {\n" % name)
        for cp, target in rows:
            padded = list(target) + [0] * (MAX_FULL - len(target))
            w("    {0x%04X, {%s}},\n" % (cp, ", ".join("0x%04X" % t for t in padded)))
        w("};\n")
        w("constexpr std::span<const FullMapping> %s(k%s);\n\n" % (snake(name), name))

    def ranges(name, rows):
        w("constexpr CodeRange k%s[] = {\n" % name)
        for a, b in rows:
            w("    {0x%04X, 0x%04X},\n" % (a, b))
        w("};\n")
        w("constexpr std::span<const CodeRange> %s(k%s);\n\n" % (snake(name), name))

    runs("UpperRuns", upper_runs)
    runs("LowerRuns", lower_runs)
    full("UpperFull", upper_full)
    full("LowerFull", lower_full)
    ranges("Cased", cased)
    ranges("CaseIgnorable", ignorable)
    w("}  // namespace zelvo::unicode::tables\n")


def snake(name):
    return re.sub(r"(?<!^)([A-Z])", r"_\1", name).lower()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--ucd", default="/usr/share/unicode")
    ap.add_argument("--out", default=DEFAULT_OUT)
    args = ap.parse_args()

    unicode_data = os.path.join(args.ucd, "UnicodeData.txt")
    special_casing = os.path.join(args.ucd, "SpecialCasing.txt")
    derived = os.path.join(args.ucd, "DerivedCoreProperties.txt")

    version = ucd_version(derived)
    upper, lower = parse_unicode_data(unicode_data)
    special = parse_special_casing(special_casing)
    props = parse_property_ranges(derived, ("Cased", "Case_Ignorable"))

    upper_runs = delta_runs(upper)
    lower_runs = delta_runs(lower)
    check_runs(upper_runs, upper)
    check_runs(lower_runs, lower)

    upper_full = full_table(special, upper, 1)
    lower_full = full_table(special, lower, 0)

    with open(args.out, "w", encoding="utf-8", newline="\n") as out:
        emit(out, version, upper_runs, lower_runs, upper_full, lower_full, props["Cased"], props["Case_Ignorable"])
    print("wrote %s: Unicode %s, %d+%d runs, %d+%d full mappings, %d cased and %d case-ignorable ranges"
          % (os.path.relpath(args.out, ROOT), version, len(upper_runs), len(lower_runs), len(upper_full),
             len(lower_full), len(props["Cased"]), len(props["Case_Ignorable"])))


if __name__ == "__main__":
    main()
