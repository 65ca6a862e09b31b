"""The tridiagonal systems of a time step."""

from __future__ import annotations

__all__ = ["Tridiagonal"]


class Tridiagonal:
    """A symmetric tridiagonal matrix whose off-diagonal entries between rows
    i and i + 1 are ``-coupling[i]``, eliminated on its first solve.

    The matrix is an M-matrix (a positive, diagonally dominant diagonal and
    non-negative couplings), so elimination without pivoting subtracts
    nothing but non-negative terms from the diagonal and is stable.
    """

    def __init__(self, diagonal: list[float], coupling: list[float]) -> None:
        self.diagonal = diagonal
        self.above = [0.0] + coupling  # each row's coupling to the one above
        self.below = coupling + [0.0]
        self.scales: list[float] = []  # reciprocal pivots

    def solve(self, rhs: list[float], surface_term: float) -> list[float]:
        """The solution for ``rhs`` plus ``surface_term`` in the first row."""
        rhs[0] += surface_term
        values: list[float] = []
        append = values.append
        value = 0.0
        if self.scales:
            for r, k_above, scale in zip(rhs, self.above, self.scales):
                value = (r + k_above * value) * scale
                append(value)
        else:
            scales = self.scales
            scale = 0.0
            for pivot, k_above, r in zip(self.diagonal, self.above, rhs):
                scale = 1.0 / (pivot - k_above * k_above * scale)
                value = (r + k_above * value) * scale
                append(value)
                scales.append(scale)
        y = 0.0
        solution = [y := value + k_below * scale * y for value, k_below, scale
                    in zip(reversed(values), reversed(self.below), reversed(self.scales))]
        solution.reverse()
        return solution
