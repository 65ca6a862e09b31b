"""The part a recipe treats: its shape, its depth, its grid and its density."""

from __future__ import annotations

from dataclasses import dataclass

from .. import _validate

__all__ = ["Part", "GEOMETRIES", "DEPTH_RANGE_MM", "MOST_CELLS", "PART_DEPTH_PER_CASE_DEPTH"]

#: Geometry name to the exponent m of r in the diffusion equation.
GEOMETRIES = {"plate": 0, "cylinder": 1, "sphere": 2}

# Limits that keep a run physically meaningful and its time and memory
# bounded: the thinnest and the deepest part, and the finest grid (100,000
# cells take a few MB a step).
DEPTH_RANGE_MM = (0.01, 10_000.0)
MOST_CELLS = 100_000

#: The depth of the plate that a design assumes unless told otherwise, in case
#: depths: deep enough that the far face makes no difference.
PART_DEPTH_PER_CASE_DEPTH = 4.0


@dataclass(frozen=True, kw_only=True)
class Part:
    """A part, treated on its surface, as the run sees it.

    Parameters
    ----------
    geometry : {"plate", "cylinder", "sphere"}
        A plate of thickness ``depth_mm`` treated on one face with no flux
        through the other (or half of a plate treated on both faces), or a
        cylinder or a sphere of radius ``depth_mm`` treated all round.
    depth_mm : float
        From 0.01 to 10,000 mm.
    cells : int
        The number of equal cells over ``depth_mm``, from 3 to 100,000.
    density_kg_m3 : float
        The density of the steel, for the mass taken up; positive.

    Raises
    ------
    ValueError, TypeError
        For a value out of range or of the wrong type, naming it.

    Examples
    --------
    >>> round(Part(geometry="cylinder", depth_mm=10.0).deepest_mm, 6)
    9.975
    """

    geometry: str = "plate"
    depth_mm: float = 3.0
    cells: int = 200
    density_kg_m3: float = 7870.0

    def __post_init__(self) -> None:
        self._set("geometry", _validate.one_of("geometry", self.geometry, GEOMETRIES))
        low, high = DEPTH_RANGE_MM
        depth_mm = _validate.real("depth_mm", self.depth_mm)
        self._set("depth_mm", _validate.bounded("depth_mm", depth_mm, low=low, high=high, unit="mm"))
        self._set("cells", _validate.integer("cells", self.cells, minimum=3, maximum=MOST_CELLS))
        self._set("density_kg_m3", _validate.real("density_kg_m3", self.density_kg_m3, "positive"))

    def _set(self, name: str, value: object) -> None:
        object.__setattr__(self, name, value)

    @classmethod
    def for_case(cls, case_depth_mm: float, *, depth_mm: float | None = None, geometry: str = "plate",
                 cells: int = 200) -> Part:
        """The part of a design for ``case_depth_mm``: by default a plate
        :data:`PART_DEPTH_PER_CASE_DEPTH` case depths deep, which acts as an
        infinitely deep one.

        Raises
        ------
        ValueError
            Where that default is thinner or deeper than a part may be, or a
            value is out of range.
        """
        if depth_mm is None:
            depth_mm = PART_DEPTH_PER_CASE_DEPTH * case_depth_mm
            low, high = DEPTH_RANGE_MM
            if not low <= depth_mm <= high:
                size, than, end = ("thin", "thinner", low) if depth_mm < low else ("deep", "deeper", high)
                raise ValueError(f"case_depth_mm {case_depth_mm!r} is too {size}: the part of "
                                 f"{PART_DEPTH_PER_CASE_DEPTH:g} case depths that the design assumes, {depth_mm:g} mm, "
                                 f"is {than} than the {'thinnest' if size == 'thin' else 'deepest'} part, {end:,g} mm")
        return cls(geometry=geometry, depth_mm=depth_mm, cells=cells)

    @property
    def exponent(self) -> int:
        """The exponent m of r in the diffusion equation: 0, 1 or 2."""
        return GEOMETRIES[self.geometry]

    @property
    def spacing_mm(self) -> float:
        """The width of a cell."""
        return self.depth_mm / self.cells

    @property
    def deepest_mm(self) -> float:
        """The depth of the centre of the last cell, where a profile ends."""
        return self.spacing_mm * (self.cells - 0.5)
