#!/usr/bin/python3
"""Time kovarkit.seasons on a synthetic scene of vegetation-like models.

    bench/seasons_bench.py [LINES PIXELS NDAT]      (default 1000 1000 92)

The models: constant 0.2..0.4, a small trend, the first harmonic with
amplitude 0.05..0.15 and any phase, the higher ones at a fifth of that or
less, each left out at random; 2 % failed fits (all zero).  Prints wall and
processor time and the peak resident memory.
"""

import os
import resource
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "kovarkit"))
from kovarkit.core.seasons import seasons  # noqa: E402

nline, npix, ndat = (int(a) for a in sys.argv[1:4]) if len(sys.argv) > 3 else (1000, 1000, 92)
nfunc, npoint = 6, 46
rng = np.random.default_rng(1)
n = nline * npix
p = np.zeros((n, 2 * nfunc + 2), np.float32)
p[:, 0] = rng.uniform(0.2, 0.4, n)
p[:, 1] = rng.uniform(-0.002, 0.002, n)
p[:, 2] = rng.uniform(0.05, 0.15, n)
p[:, 4::2] = rng.uniform(0, 0.03, (n, nfunc - 1)) * (rng.random((n, nfunc - 1)) < 0.5)
p[:, 3::2] = rng.uniform(-np.pi, np.pi, (n, nfunc))
p[rng.random(n) < 0.02] = 0
p = p.reshape(nline, npix, -1)
wall, cpu = time.perf_counter(), time.process_time()
m = seasons(p, npoint=npoint, ndat=ndat, nfunc=nfunc)
wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(f"{nline} x {npix} pixels, {ndat // npoint} season(s) of {npoint} steps, grid 0.1: "
      f"wall {wall:.1f} s, processor {cpu:.1f} s, peak memory {rss:.0f} MiB; "
      f"{np.isfinite(m.length).mean():.0%} of the seasons complete")
