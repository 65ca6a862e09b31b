#!/usr/bin/env python3
"""Carbon and nitrogen diffusion in austenite, and a gas-carburizing run.

This demo does two things with the concentration-dependent interstitial
diffusivities of :mod:`talvenor.slycke`:

1. It prints the diffusivities of carbon and nitrogen in austenite over the
   usual carburizing window, 850-1000 degC, for 0.2-1.0 wt% C.
2. It simulates gas carburizing of a steel bar surface: a 0.2 wt% C steel
   held at 930 degC for 4 h in an atmosphere that keeps the surface at
   0.8 wt% C.  It prints the carbon profile and the case depth, i.e. the
   depth at which the carbon content has dropped to 0.4 wt%.

Compositions
------------
Engineers give compositions in weight percent; the diffusivity model takes
interstitial *site fractions*.  In austenite (fcc iron) there is one
octahedral interstitial site per iron atom, so the site fraction of an
interstitial element i is the number of i atoms per iron atom::

    y_i = (w_i / M_i) / (w_Fe / M_Fe),    w_Fe = 100 - w_C - w_N

with molar masses M_C = 12.011, M_N = 14.007 and M_Fe = 55.845 g/mol
(other alloying elements are lumped in with iron).  For 0.8 wt% C this
gives y_C = 0.0375, i.e. 3.75 carbon atoms per 100 iron atoms.
:func:`site_fractions` implements this conversion.

Carburizing model
-----------------
Fick's second law with a concentration-dependent diffusivity,

    dc/dt = d/dx ( D(c) dc/dx ),

is solved on 0 <= x <= depth with c(0, t) = c_surface (the carbon potential
of the furnace atmosphere, held fixed at the surface), zero flux at x = depth
(deep enough that the far end stays at the base carbon content) and
c(x, 0) = c_base.  See :func:`carburize` for the discretisation.

Only the standard library is needed.  ``--plot FILE`` additionally writes a
plot of the profile if matplotlib is installed.

Run ``python examples/carburizing.py --help`` for the options.
"""

from __future__ import annotations

import argparse
import math
import sys
from typing import Callable, List, Optional, Sequence, Tuple

M_C = 12.011  # g/mol
M_N = 14.007  # g/mol
M_FE = 55.845  # g/mol

#: Default offset between degC and K; main() uses the library's own constant.
KELVIN_OFFSET = 273.15


# ---------------------------------------------------------------------------
# Compositions
# ---------------------------------------------------------------------------

def site_fractions(w_carbon: float, w_nitrogen: float = 0.0) -> List[float]:
    """Convert weight percent C and N to interstitial site fractions.

    Returns ``[y_C, y_N]``: atoms of carbon and of nitrogen per iron atom,
    which for austenite is per octahedral interstitial site::

        y_i = (w_i / M_i) / (w_Fe / M_Fe),   w_Fe = 100 - w_C - w_N

    The balance of the steel is counted as iron.

    Raises ValueError for negative contents or if C + N is 100 wt% or more.
    """
    w_carbon = float(w_carbon)
    w_nitrogen = float(w_nitrogen)
    if w_carbon < 0.0 or w_nitrogen < 0.0:
        raise ValueError("weight percentages must not be negative")
    w_iron = 100.0 - w_carbon - w_nitrogen
    if w_iron <= 0.0:
        raise ValueError("carbon + nitrogen must be below 100 wt%")
    iron_moles = w_iron / M_FE
    return [(w_carbon / M_C) / iron_moles, (w_nitrogen / M_N) / iron_moles]


# Signature of the library's diffusivities: D([y_C, y_N], T_kelvin) -> m^2/s
SiteDiffusivity = Callable[[Sequence[float], float], float]


def carbon_diffusivity_in_wt(diffusivity: SiteDiffusivity, T_kelvin: float,
                             w_nitrogen: float = 0.0) -> Callable[[float], float]:
    """Bind a site-fraction diffusivity to a temperature and N content.

    Returns a function of the carbon content in wt% giving D in m^2/s, the
    form :func:`carburize` expects.
    """
    def D(w_carbon: float) -> float:
        return diffusivity(site_fractions(w_carbon, w_nitrogen), T_kelvin)
    return D


# ---------------------------------------------------------------------------
# Diffusivity table
# ---------------------------------------------------------------------------

TABLE_TEMPERATURES_C = tuple(range(850, 1001, 25))
TABLE_CARBON_WT = (0.2, 0.4, 0.6, 0.8, 1.0)


def diffusivity_table(carbon_diffusivity: SiteDiffusivity,
                      nitrogen_diffusivity: SiteDiffusivity,
                      temperatures_c: Sequence[float] = TABLE_TEMPERATURES_C,
                      carbon_wt: Sequence[float] = TABLE_CARBON_WT,
                      w_nitrogen: float = 0.0,
                      kelvin_offset: float = KELVIN_OFFSET,
                      ) -> List[Tuple[float, float, float, float]]:
    """Evaluate both diffusivities on a temperature x carbon-content grid.

    Returns rows ``(T_degC, w_C, D_carbon, D_nitrogen)`` (D in m^2/s),
    temperature-major, in the order of the arguments.
    """
    rows = []
    for T_c in temperatures_c:
        T_k = T_c + kelvin_offset
        for w_c in carbon_wt:
            y = site_fractions(w_c, w_nitrogen)
            rows.append((T_c, w_c,
                         float(carbon_diffusivity(y, T_k)),
                         float(nitrogen_diffusivity(y, T_k))))
    return rows


def format_table(rows: Sequence[Tuple[float, float, float, float]],
                 w_nitrogen: float = 0.0) -> str:
    """Lay out the rows of :func:`diffusivity_table` as two text tables."""
    temperatures = sorted({r[0] for r in rows})
    contents = sorted({r[1] for r in rows})
    lookup = {(r[0], r[1]): r for r in rows}

    lines = [f"Diffusivities in austenite, {w_nitrogen:g} wt% N"]
    head = "  T [°C] |" + "".join(f"  {w:5.2f} wt% C" for w in contents)
    rule = "  " + "-" * 7 + "+" + "-" * (len(head) - 10)
    y_line = "   y_C   |" + "".join(
        f"  {site_fractions(w, w_nitrogen)[0]:11.5f}" for w in contents)
    for column, label in ((2, "Carbon, D_C [m²/s]"),
                          (3, "Nitrogen, D_N [m²/s]")):
        lines += ["", label, head, y_line, rule]
        for T in temperatures:
            cells = "".join(f"  {lookup[(T, w)][column]:11.3e}"
                            for w in contents)
            lines.append(f"  {T:6g} |" + cells)
    return "\n".join(lines)


# ---------------------------------------------------------------------------
# Carburizing solver
# ---------------------------------------------------------------------------

def carburize(diffusivity: Callable[[float], float], t_seconds: float,
              depth_m: float = 3e-3, cells: int = 150,
              c_base: float = 0.2, c_surface: float = 0.8,
              safety: float = 0.9,
              ) -> Tuple[List[float], List[float], dict]:
    """Solve dc/dt = d/dx (D(c) dc/dx) for a carburizing (or decarburizing) run.

    ``diffusivity`` maps a carbon content (wt%) to D in m^2/s at the process
    temperature (see :func:`carbon_diffusivity_in_wt`).  The bar starts at
    ``c_base`` everywhere; the surface x = 0 is held at ``c_surface`` and the
    far end x = ``depth_m`` carries no flux, so ``depth_m`` must be several
    diffusion lengths sqrt(D t) deep to stand in for a semi-infinite bar.

    Discretisation: vertex-centred finite volumes on a uniform grid of
    ``cells`` intervals, nodes at x_i = i*dx (i = 0..cells).  Node 0 carries
    the surface value; interior nodes own a control volume of width dx, the
    last node one of dx/2 bounded by the zero-flux wall.  The flux through
    the face between nodes i and i+1 is -D((c_i + c_{i+1})/2) (c_{i+1} - c_i)/dx,
    with D evaluated at the mean composition of the face.  Time integration
    is explicit Euler with a uniform step chosen from the stability limit
    dt <= dx^2 / (2 D_max), scaled by ``safety`` and shortened so that the
    steps end exactly at ``t_seconds``.  D_max is sampled over the
    composition range between c_base and c_surface, which is where all face
    compositions stay (the scheme is monotone below the limit).

    Returns ``(depths_m, concentrations_wt, info)`` where ``info`` holds
    ``dt``, ``steps`` and ``D_max``.
    """
    if cells < 2:
        raise ValueError("need at least 2 cells")
    if depth_m <= 0.0 or t_seconds < 0.0:
        raise ValueError("depth must be positive and time non-negative")
    if not 0.0 < safety <= 1.0:
        raise ValueError("safety factor must be in (0, 1]")

    n = cells
    dx = depth_m / n
    depths = [i * dx for i in range(n + 1)]
    c = [float(c_base)] * (n + 1)
    c[0] = float(c_surface)

    lo, hi = sorted((float(c_base), float(c_surface)))
    samples = 32
    d_max = max(diffusivity(lo + (hi - lo) * k / samples)
                for k in range(samples + 1))
    if not d_max > 0.0 or math.isinf(d_max):
        raise ValueError(f"diffusivity must be positive and finite, got {d_max}")

    dt_limit = safety * dx * dx / (2.0 * d_max)
    steps = max(1, math.ceil(t_seconds / dt_limit)) if t_seconds > 0 else 0
    dt = t_seconds / steps if steps else 0.0
    r = dt / (dx * dx)

    flux = [0.0] * n  # flux[i]: between nodes i and i+1, times dt/dx^2
    for _ in range(steps):
        for i in range(n):
            ci, cj = c[i], c[i + 1]
            flux[i] = r * diffusivity(0.5 * (ci + cj)) * (ci - cj)
        for i in range(1, n):
            c[i] += flux[i - 1] - flux[i]
        c[n] += 2.0 * flux[n - 1]  # half control volume at the wall

    info = {"dt": dt, "steps": steps, "D_max": d_max}
    return depths, c, info


def interpolate(depths: Sequence[float], conc: Sequence[float],
                x: float) -> float:
    """Linearly interpolate a profile at depth ``x`` (clamped to the ends)."""
    if x <= depths[0]:
        return conc[0]
    for i in range(1, len(depths)):
        if x <= depths[i]:
            x0, x1 = depths[i - 1], depths[i]
            return conc[i - 1] + (conc[i] - conc[i - 1]) * (x - x0) / (x1 - x0)
    return conc[-1]


def case_depth(depths: Sequence[float], conc: Sequence[float],
               threshold: float = 0.4) -> Optional[float]:
    """Depth at which the carbon content first falls to ``threshold``.

    Scans from the surface and interpolates linearly between the two
    points that bracket the threshold.  Returns None when the profile does
    not cross the threshold: either the surface is already below it (no
    case at all) or the whole profile stays above it (the case is deeper
    than the computed domain).  The result is in the units of ``depths``.
    """
    if len(depths) != len(conc):
        raise ValueError("depths and concentrations differ in length")
    if not conc or conc[0] < threshold:
        return None
    for i in range(1, len(conc)):
        if conc[i] <= threshold:
            c0, c1 = conc[i - 1], conc[i]
            if c0 == c1:
                return depths[i - 1]
            frac = (c0 - threshold) / (c0 - c1)
            return depths[i - 1] + frac * (depths[i] - depths[i - 1])
    return None


# ---------------------------------------------------------------------------
# Command line
# ---------------------------------------------------------------------------

def _parse(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        description="Diffusivities of C and N in austenite and a "
                    "gas-carburizing profile.")
    p.add_argument("--temperature", type=float, default=930.0,
                   help="carburizing temperature in °C (default 930)")
    p.add_argument("--hours", type=float, default=4.0,
                   help="carburizing time in h (default 4)")
    p.add_argument("--base", type=float, default=0.2,
                   help="carbon content of the steel in wt%% (default 0.2)")
    p.add_argument("--surface", type=float, default=0.8,
                   help="surface carbon content in wt%% (default 0.8)")
    p.add_argument("--threshold", type=float, default=0.4,
                   help="carbon content defining the case depth in wt%% "
                        "(default 0.4)")
    p.add_argument("--depth", type=float, default=3.0,
                   help="depth of the computed domain in mm (default 3)")
    p.add_argument("--cells", type=int, default=150,
                   help="number of grid cells (default 150)")
    p.add_argument("--plot", metavar="FILE",
                   help="also save a plot of the profile (needs matplotlib)")
    return p.parse_args(argv)


def _plot(path: str, depths_mm: Sequence[float], conc: Sequence[float],
          title: str, threshold: float, case_mm: Optional[float]) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed; no plot written", file=sys.stderr)
        return False
    fig, ax = plt.subplots(figsize=(6, 4))
    ax.plot(depths_mm, conc, label="carbon profile")
    ax.axhline(threshold, ls=":", color="grey")
    if case_mm is not None:
        ax.axvline(case_mm, ls="--", color="grey",
                   label=f"case depth {case_mm:.2f} mm")
    ax.set_xlabel("depth [mm]")
    ax.set_ylabel("carbon [wt%]")
    ax.set_title(title)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return True


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parse(argv)

    try:
        from talvenor import constants, slycke
    except ImportError as exc:
        print(f"carburizing: the talvenor library is needed ({exc})",
              file=sys.stderr)
        return 1

    carbon = slycke.create_carbon_diffusivity()
    nitrogen = slycke.create_nitrogen_diffusivity()

    rows = diffusivity_table(carbon, nitrogen,
                             kelvin_offset=constants.T_NORMAL)
    print(format_table(rows))
    print()

    T_k = args.temperature + constants.T_NORMAL
    t = args.hours * 3600.0
    depth_m = args.depth * 1e-3
    depths, conc, info = carburize(
        carbon_diffusivity_in_wt(carbon, T_k), t, depth_m=depth_m,
        cells=args.cells, c_base=args.base, c_surface=args.surface)
    depths_mm = [x * 1e3 for x in depths]

    title = (f"Gas carburizing at {args.temperature:g} °C for "
             f"{args.hours:g} h")
    print(title)
    print(f"  base {args.base:g} wt% C, surface {args.surface:g} wt% C")
    print(f"  {args.cells} cells over {args.depth:g} mm, "
          f"{info['steps']} explicit steps of {info['dt']:.2f} s "
          f"(D_max = {info['D_max']:.3e} m²/s)")
    print()
    print("  depth [mm]   C [wt%]")
    k = 0
    while k * 0.1 <= min(2.0, args.depth) + 1e-9:
        x_mm = k * 0.1
        print(f"  {x_mm:9.1f}   {interpolate(depths_mm, conc, x_mm):7.3f}")
        k += 1
    print()
    case_mm = case_depth(depths_mm, conc, args.threshold)
    if case_mm is None and conc[0] < args.threshold:
        print(f"Case depth ({args.threshold:g} wt% C): none, the surface "
              f"stays below {args.threshold:g} wt% C")
    elif case_mm is None:
        print(f"Case depth ({args.threshold:g} wt% C): deeper than the "
              f"{args.depth:g} mm computed")
    else:
        print(f"Case depth ({args.threshold:g} wt% C): {case_mm:.2f} mm")

    if args.plot:
        if _plot(args.plot, depths_mm, conc, title, args.threshold, case_mm):
            print(f"Plot written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
