"""The design's Sobol' points against SciPy's unscrambled sequence: the first 2^12 points of d = 8."""
import subprocess
import sys

import numpy as np
from scipy.stats import qmc

dump, dimensions, count = sys.argv[1], 8, 4096
text = subprocess.run([dump, str(dimensions), str(count)], check=True, capture_output=True,
                      text=True).stdout
ours = np.array([[float(x) for x in line.split(",")] for line in text.splitlines()])
theirs = qmc.Sobol(d=dimensions, scramble=False).random_base2(m=12)
if ours.shape != theirs.shape:
    sys.exit(f"shape {ours.shape}, SciPy {theirs.shape}")
differ = np.argwhere(ours != theirs)
if differ.size:
    row, column = differ[0]
    sys.exit(f"point {row} dimension {column}: {ours[row, column]!r}, SciPy {theirs[row, column]!r}")
print(f"{count} points of {dimensions} dimensions equal SciPy's")
