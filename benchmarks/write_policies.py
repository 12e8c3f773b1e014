"""Writes the suite's policies as JSON files for the core-level benchmarks
(reference_bench reads them from ZELVO_BENCH_DIR).

    python benchmarks/write_policies.py DIR
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import workload as w  # noqa: E402


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    files = {"empty.json": w.empty_policy(), "reference.json": w.reference_policy()}
    files.update({f"scale-{n}.json": w.scale_policy(n) for n in w.RULE_COUNTS})
    for name, policy in files.items():
        with open(os.path.join(out, name), "w", encoding="utf-8") as f:
            f.write(w.dump(policy))


if __name__ == "__main__":
    main()
