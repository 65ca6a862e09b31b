"""The tridiagonal systems of a time step, solved by LAPACK."""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray
from scipy.linalg import lapack  # type: ignore[import-untyped]

__all__ = ["Tridiagonal"]


class Tridiagonal:
    """A symmetric tridiagonal matrix with the positive ``diagonal`` and the
    entries ``-coupling[i]`` between rows i and i + 1, factored once
    (L D L^T, LAPACK's dpttrf) and then solved for any number of right-hand
    sides (dpttrs).

    The matrices of a step are M-matrices (a diagonal that dominates the
    non-negative couplings), so positive definite: the factorization needs
    no pivoting and cannot fail.
    """

    def __init__(self, diagonal: NDArray[np.float64], coupling: NDArray[np.float64]) -> None:
        self._pivots, self._multipliers, info = lapack.dpttrf(diagonal, -coupling)
        if info != 0:
            raise ArithmeticError(f"the matrix of a step is not positive definite (dpttrf info {info})")

    def solve(self, rhs: NDArray[np.float64]) -> NDArray[np.float64]:
        """The solution for the right-hand side ``rhs``."""
        solution, info = lapack.dpttrs(self._pivots, self._multipliers, rhs)
        if info != 0:
            raise ArithmeticError(f"dpttrs info {info}")
        return np.asarray(solution, dtype=np.float64)
