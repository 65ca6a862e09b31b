"""A recipe as a shop states it: the stages (or the furnace log of a cycle
as it ran), the steel and the part, the quench that hardens it, what the
drawing asks of it, and the job it is for."""

from __future__ import annotations

from dataclasses import dataclass, field, fields

from .metallurgy.tempering import Temper
from .model.steel import Steel
from .requirements import Requirements
from .schedule.furnace import Furnace
from .schedule.furnace_log import FurnaceLog
from .schedule.part import Part
from .schedule.stage import Stage
from .variation import Variation

__all__ = ["Recipe", "Job"]


@dataclass(frozen=True, kw_only=True)
class Job:
    """What a certificate names: the part, its drawing, the batch and where
    and for whom it was treated.  Free text, each field optional."""

    part: str | None = None
    drawing: str | None = None
    revision: str | None = None
    batch: str | None = None
    furnace: str | None = None
    customer: str | None = None
    operator: str | None = None

    def __post_init__(self) -> None:
        for name, value in self.given().items():
            if not isinstance(value, str):
                raise TypeError(f"{name} must be text, got {value!r}")
            if not value.strip() or not value.isprintable():
                raise ValueError(f"{name} must be printable text on one line, not empty, got {value!r}")

    def given(self) -> dict[str, str]:
        """The fields given, by name."""
        return {f.name: getattr(self, f.name) for f in fields(self) if getattr(self, f.name) is not None}

    def __str__(self) -> str:
        given = self.given()
        drawing = given.pop("drawing", None)
        revision = given.pop("revision", None)
        parts = [f"{name} {value}" for name, value in given.items()]
        if drawing is not None or revision is not None:
            parts.insert(1 if "part" in given else 0, " ".join(
                text for text in ("drawing", drawing, revision and f"rev. {revision}") if text))
        return ", ".join(parts)


@dataclass(frozen=True, kw_only=True)
class Recipe:
    """A recipe applied to a part: the stages, the steel and the part, and
    the quench that hardens it.

    ``stages`` (or, for a cycle as it ran, ``log``: one of the two),
    ``steel`` and ``part`` are the arguments of :func:`simulate`; ``quench_c``, ``austenite_hv``, ``severity_h`` and
    ``temper`` those of :func:`harden`, with ``quench_c`` None for a recipe
    that asks for no hardening.  ``requirements`` holds the bands the treated part must meet
    (None where the recipe states none), and ``job`` what it is for.
    ``variation`` says how its inputs vary from run to run, for a
    capability study (:func:`~talvenor.process.study`); a run ignores it.
    :func:`read_recipe` reads one from a TOML file, and :func:`evaluate`
    gives its outcome.

    A recipe with a ``furnace`` in place of the stages and the log asks for
    a design: the cycle that meets its ``requirements`` in that furnace
    (:func:`design_cycle`); it has no :attr:`schedule` to run until then.
    """

    stages: tuple[Stage, ...] = ()
    steel: Steel
    part: Part = field(default_factory=Part)
    quench_c: float | None = None
    austenite_hv: float = 300.0
    requirements: Requirements | None = None
    severity_h: float | None = None
    temper: Temper | None = None
    log: FurnaceLog | None = None
    job: Job | None = None
    variation: Variation | None = None
    furnace: Furnace | None = None

    def __post_init__(self) -> None:
        if self.furnace is not None:
            if self.stages or self.log is not None:
                raise ValueError("a recipe with a furnace asks for the cycle to be designed: give stages, a furnace "
                                 "log or a furnace, one of the three")
            if self.requirements is None:
                raise ValueError("a recipe with a furnace asks for a design, which needs the requirements it is to "
                                 "meet")
        elif (not self.stages) == (self.log is None):
            raise ValueError("a recipe has stages or a furnace log: give one of the two, not "
                             + ("neither" if self.log is None else "both"))

    @property
    def schedule(self) -> tuple[Stage, ...] | FurnaceLog:
        """What :func:`simulate` runs: the stages, or the log.

        Raises
        ------
        ValueError
            For a recipe that asks for a design, which has neither yet.
        """
        if self.furnace is not None:
            raise ValueError("the recipe has a furnace and no stages: it asks for a design, which "
                             "design_cycle (or talvenor-process design RECIPE.toml) makes")
        return self.stages if self.log is None else self.log

    @property
    def geometry(self) -> str:
        """The part's geometry."""
        return self.part.geometry

    @property
    def depth_mm(self) -> float:
        """The part's depth in mm."""
        return self.part.depth_mm

    @property
    def cells(self) -> int:
        """The cells of the part's grid."""
        return self.part.cells

    @property
    def core_carbon_wt(self) -> float:
        """The steel's carbon content in wt%."""
        return self.steel.carbon_wt

    @property
    def core_nitrogen_wt(self) -> float:
        """The steel's nitrogen content in wt%."""
        return self.steel.nitrogen_wt
