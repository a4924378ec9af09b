"""Runs the documentation's pandas recipe on a sweep's summary and a run's results file and checks
that every number it loads is exactly the double the file's text stands for (Python's
float() of that text), every integer its integer, every empty or asterisk field missing.

Usage: pandas_recipe_test.py PROGRAM PAGE
"""
import csv
import math
import os
import re
import subprocess
import sys
import tempfile

import pandas as pd

RESULTS_COLUMNS = ["n_g", "p_phe", "n_p", "r_phe", "rl_phe", "n_HS"]


def recipe(readme):
    # The recipe reads output.txt itself; other python blocks use the module.
    blocks = [block for block in
              re.findall(r"```python\n(.*?)```", open(readme, encoding="utf-8").read(), re.S)
              if 'read_csv("output.txt"' in block]
    if len(blocks) != 1:
        sys.exit(f"FAIL: expected one python block reading output.txt in {readme}, "
                 f"found {len(blocks)}")
    return blocks[0]


def mismatches(frame, rows, where):
    """Cells of `frame` that differ from the texts in `rows` (lists of strings)."""
    faults = []
    if len(frame) != len(rows):
        return [f"{where}: {len(frame)} rows loaded, {len(rows)} in the file"]
    for i, row in enumerate(rows):
        for column, text in zip(frame.columns, row):
            value = frame[column].iloc[i]
            if text == "" or set(text) == {"*"}:
                good = isinstance(value, float) and math.isnan(value)
            elif frame[column].dtype.kind in "iu":
                good = int(value) == int(text)
            elif frame[column].dtype.kind == "f":
                good = float(value) == float(text)
            else:
                good = value == text
            if not good:
                faults.append(f"{where} row {i + 1} {column}: text {text!r}, loaded {value!r}")
    return faults


def main():
    program, readme = os.path.abspath(sys.argv[1]), sys.argv[2]
    code = recipe(readme)
    with tempfile.TemporaryDirectory() as scratch:
        os.chdir(scratch)
        # Surviving and dying populations, so the summary holds long fractions and empty cells.
        subprocess.run([program, "sweep", "--emig-rate", "0,0.05", "--sdr", "1,1.3", "--n-gen",
                        "60", "--replicates", "25", "--seed", "11", "--jobs", "2"],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run([program, "run", "--seed", "2367781"], check=True,
                       stdout=subprocess.DEVNULL)
        names = {}
        exec(code, names)  # the page's own lines
        runs, res = names["runs"], names["res"]

        with open("summary.csv", newline="") as file:
            summary_rows = list(csv.reader(file))
        if summary_rows[0] != list(runs.columns):
            sys.exit(f"FAIL: columns {list(runs.columns)}, header {summary_rows[0]}")
        with open("output.txt", newline="") as file:
            results_rows = [line.split() for line in file.read().split("\r\n")[10:] if line]

        faults = mismatches(runs, summary_rows[1:], "summary.csv")
        faults += mismatches(res, results_rows, "output.txt")
        floats = sum(1 for row in summary_rows[1:] for text in row if "." in text)

        # The data must be hard enough that the default parser would fail on it.
        default = pd.read_csv("summary.csv")
        misread = len(mismatches(default, summary_rows[1:], "summary.csv"))
    if faults:
        print("\n".join(faults[:20]), file=sys.stderr)
        sys.exit(f"FAIL: {len(faults)} values loaded inexactly")
    if misread == 0:
        sys.exit("FAIL: the default parser reads this summary exactly too; the data tests nothing")
    print(f"{floats} fractional summary values and {len(results_rows)} records read exactly "
          f"(the default parser misreads {misread})")


if __name__ == "__main__":
    main()
