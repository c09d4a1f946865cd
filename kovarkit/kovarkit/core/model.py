"""The harmonic model of the coefficient product p, in counts, evaluated at
any time: values, slopes and antiderivative, and its basis on a grid.

Time is the model's own: 1 is the first step of the series it was fitted
to.  The model is constant + trend * 0.1 t + sum_k A_k sin(omega n_k t +
phase_k), omega = 2 pi / npoint, n_k the harmonic number of position k,
exactly as the engine's design matrix defines it.
"""

import numpy as np

from .products import harmonic_number

COUNTS = 4096.0


class Model:
    """Harmonic models in counts, one per row of p (n, npara), evaluated at
    their own time (time 1 = the first step of the series they were fitted to)."""

    def __init__(self, p, npoint, nfunc):
        p = np.asarray(p, np.float64)
        self.omega = 2.0 * np.pi / npoint
        self.n = np.array([harmonic_number(k) for k in range(1, nfunc + 1)], np.float64)
        self.w = self.omega * self.n
        self.c0 = p[..., 0] * COUNTS
        self.c1 = p[..., 1] * COUNTS
        self.amp, self.phase = p[..., 2::2] * COUNTS, p[..., 3::2]

    def coefficients(self):
        """(n, 2 + 2*nfunc): constant, trend, then A cos(phase), A sin(phase),
        the weights of the rows of basis()."""
        return np.concatenate([self.c0[:, None], self.c1[:, None],
                               self.amp * np.cos(self.phase), self.amp * np.sin(self.phase)],
                              axis=1)

    def basis(self, t):
        """(2 + 2*nfunc, len(t)) rows: 1, 0.1 t, sin a_k(t), cos a_k(t)."""
        a = (self.omega * t)[None, :] * self.n[:, None]
        return np.concatenate([np.ones((1, t.size)), 0.1 * t[None, :], np.sin(a), np.cos(a)])

    def at(self, t):
        """(value, slope, antiderivative) at t of shape (n, ...)."""
        shape = (self.c0.shape[0],) + (1,) * (t.ndim - 1)
        c0, c1 = self.c0.reshape(shape), self.c1.reshape(shape)
        amp = self.amp.reshape(shape + (self.n.size,))
        ang = (self.omega * t)[..., None] * self.n + self.phase.reshape(amp.shape)
        s, c = np.sin(ang), np.cos(ang)
        wsafe = np.where(self.w > 0, self.w, 1.0)
        periodic = np.where(self.w > 0, -c / wsafe,
                            np.sin(self.phase).reshape(amp.shape) * t[..., None])
        value = c0 + 0.1 * c1 * t + np.sum(amp * s, axis=-1)
        slope = 0.1 * c1 + np.sum(amp * self.w * c, axis=-1)
        anti = c0 * t + 0.05 * c1 * t * t + np.sum(amp * periodic, axis=-1)
        return value, slope, anti
