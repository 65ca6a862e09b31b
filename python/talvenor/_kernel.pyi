from collections.abc import Callable, Sequence
from typing import final

class Failure(Exception): ...

def diffusivity(element: int, y_carbon: float, y_nitrogen: float, temperature_k: float) -> float: ...

@final
class Run:
    def __new__(
        cls,
        volumes: Sequence[float],
        areas: Sequence[float],
        spacing: float,
        core: Sequence[float],
        grams: Sequence[float],
        tolerance_wt: float,
        *,
        fixed: Sequence[float] | None = None,
        carbon: Callable[[list[float], float], float] | float | None = None,
        nitrogen: Callable[[list[float], float], float] | float | None = None,
        singular_weight: float | None = None,
        reach_name: str | None = None,
        singular_text: str | None = None,
    ) -> Run: ...
    def stage(
        self,
        *,
        duration_s: float,
        times_h: Sequence[float],
        temperatures_c: Sequence[float],
        kinds: Sequence[int],
        carbon_wt: Sequence[float] | None = None,
        nitrogen_wt: Sequence[float] | None = None,
        transfers_m_s: Sequence[float],
        flux_g_m2_h: float | None = None,
        limit_wt: float | None = None,
        limit_factor: float | None = None,
        limit_nitrogen_wt: float | None = None,
        corners: Sequence[float],
        varying: bool = False,
        start_s: float,
        to_limit: bool = False,
        falls_to_wt: float | None = None,
        progress: Callable[[float], object] | None = None,
    ) -> None: ...
    def copy(self) -> Run: ...
    def state(self) -> tuple[bytes, tuple[float, float], tuple[float, float], float]: ...
    def history(self) -> tuple[bytes, bytes, bytes, bytes]: ...
