"""The part a design is made for."""

from __future__ import annotations

from ..schedule.part import Part

__all__ = ["design_part"]


def design_part(case_depth_mm: float, *, depth_mm: float | None, geometry: str, cells: int) -> Part:
    """The part of a design for ``case_depth_mm`` (see :meth:`Part.for_case`),
    which must be deep enough for the case.

    Raises
    ------
    ValueError
        Where the profile of the part ends above the case depth, or as
        :meth:`Part.for_case` does.
    """
    part = Part.for_case(case_depth_mm, depth_mm=depth_mm, geometry=geometry, cells=cells)
    if case_depth_mm >= part.deepest_mm:
        raise ValueError(f"case_depth_mm {case_depth_mm!r} is deeper than the part allows: the profile of the "
                         f"{part.geometry} of depth_mm {part.depth_mm!r} on {part.cells} cells ends at "
                         f"{part.deepest_mm:.4g} mm")
    return part
