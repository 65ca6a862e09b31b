#!/usr/bin/env python3
"""Carbon and nitrogen diffusion in austenite, and a gas-carburizing run.

This example does two things with talvenor:

1. It prints the Slycke diffusivities of carbon and nitrogen in austenite
   (:mod:`talvenor.slycke`) over the usual carburizing window, 850-1000 degC,
   for 0.2-1.0 wt% C.
2. It simulates gas carburizing with :mod:`talvenor.process`: by default a
   0.2 wt% C steel held at 930 degC for 4 h in an atmosphere that keeps the
   surface at 0.8 wt% C, then prints the carbon profile and the case depth,
   the depth at which the carbon content has dropped to 0.4 wt%.

``--nitrogen`` adds a nitrogen potential to the atmosphere (carbonitriding),
and ``--plot FILE`` writes a plot of the profiles if matplotlib is installed.
Run ``python examples/carburizing.py --help`` for the options.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Sequence

import numpy as np

from talvenor import constants, process, slycke

# Signature of the library's diffusivities: D([y_C, y_N], T_kelvin) -> m^2/s
Diffusivity = Callable[[list[float], float], float]

TABLE_TEMPERATURES_C = tuple(range(850, 1001, 25))
TABLE_CARBON_WT = (0.2, 0.4, 0.6, 0.8, 1.0)


def diffusivity_table(carbon_diffusivity: Diffusivity, nitrogen_diffusivity: Diffusivity,
                      temperatures_c: Sequence[float] = TABLE_TEMPERATURES_C,
                      carbon_wt: Sequence[float] = TABLE_CARBON_WT,
                      nitrogen_wt: float = 0.0) -> list[tuple[float, float, float, float]]:
    """Evaluate both diffusivities on a temperature x carbon-content grid.

    Returns rows ``(T_degC, w_C, D_carbon, D_nitrogen)`` (D in m^2/s),
    temperature-major, in the order of the arguments.
    """
    rows = []
    for temperature_c in temperatures_c:
        temperature_k = temperature_c + constants.T_NORMAL
        for w_carbon in carbon_wt:
            y = [float(v) for v in process.site_fractions(w_carbon, nitrogen_wt)]
            rows.append((temperature_c, w_carbon, carbon_diffusivity(y, temperature_k),
                         nitrogen_diffusivity(y, temperature_k)))
    return rows


def format_table(rows: Sequence[tuple[float, float, float, float]], nitrogen_wt: float = 0.0) -> str:
    """Lay out the rows of :func:`diffusivity_table` as two text tables."""
    temperatures = sorted({row[0] for row in rows})
    contents = sorted({row[1] for row in rows})
    lookup = {(row[0], row[1]): row for row in rows}

    lines = [f"Diffusivities in austenite, {nitrogen_wt:g} wt% N"]
    head = "  T [°C] |" + "".join(f"  {w:5.2f} wt% C" for w in contents)
    rule = "  " + "-" * 7 + "+" + "-" * (len(head) - 10)
    y_line = "   y_C   |" + "".join(f"  {float(process.site_fractions(w, nitrogen_wt)[0]):11.5f}" for w in contents)
    for column, label in ((2, "Carbon, D_C [m²/s]"), (3, "Nitrogen, D_N [m²/s]")):
        lines += ["", label, head, y_line, rule]
        for temperature in temperatures:
            cells = "".join(f"  {lookup[(temperature, w)][column]:11.3e}" for w in contents)
            lines.append(f"  {temperature:6g} |" + cells)
    return "\n".join(lines)


def _parse(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Diffusivities of C and N in austenite and a gas-carburizing profile.")
    parser.add_argument("--temperature", type=float, default=930.0, help="temperature in °C (default 930)")
    parser.add_argument("--hours", type=float, default=4.0, help="duration in h (default 4)")
    parser.add_argument("--base", type=float, default=0.2, help="carbon content of the steel in wt%% (default 0.2)")
    parser.add_argument("--surface", type=float, default=0.8, help="carbon potential in wt%% (default 0.8)")
    parser.add_argument("--nitrogen", type=float, help="nitrogen potential in wt%% (default: none)")
    parser.add_argument("--threshold", type=float, default=0.4,
                        help="carbon content defining the case depth in wt%% (default 0.4)")
    parser.add_argument("--depth", type=float, default=3.0, help="depth of the computed plate in mm (default 3)")
    parser.add_argument("--cells", type=int, default=200, help="number of grid cells (default 200)")
    parser.add_argument("--plot", metavar="FILE", help="also save a plot of the profiles (needs matplotlib)")
    return parser.parse_args(argv)


def main(argv: Sequence[str] | None = None) -> int:
    args = _parse(argv)
    carbon = slycke.create_carbon_diffusivity()
    nitrogen = slycke.create_nitrogen_diffusivity()
    print(format_table(diffusivity_table(carbon, nitrogen)))
    print()

    stage = process.Stage(duration_h=args.hours, temperature_c=args.temperature,
                          carbon_potential_wt=args.surface, nitrogen_potential_wt=args.nitrogen)
    try:
        result = process.simulate([stage], core_carbon_wt=args.base, depth_mm=args.depth, cells=args.cells)
    except ValueError as error:
        print(f"carburizing: {error}", file=sys.stderr)
        return 2

    atmosphere = f"{args.surface:g} wt% C" + (f" and {args.nitrogen:g} wt% N" if args.nitrogen is not None else "")
    title = f"Gas carburizing at {args.temperature:g} °C for {args.hours:g} h"
    print(title)
    print(f"  base {args.base:g} wt% C, surface held at {atmosphere}")
    print(f"  {args.cells} cells over {args.depth:g} mm, carbon gained {result.carbon_uptake_g_m2:.1f} g/m²")
    print()
    print("  depth [mm]   C [wt%]   N [wt%]")
    for depth in np.arange(0.0, min(2.0, args.depth) + 1e-9, 0.1):
        carbon_wt = np.interp(depth, result.depth_mm, result.carbon_wt)
        nitrogen_wt = np.interp(depth, result.depth_mm, result.nitrogen_wt)
        print(f"  {depth:9.1f}   {carbon_wt:7.3f}   {nitrogen_wt:7.3f}")
    print()
    label = f"Case depth ({args.threshold:g} wt% C)"
    try:
        case_mm = result.case_depth_mm(args.threshold)
    except ValueError:
        print(f"{label}: deeper than the {args.depth:g} mm computed")
    else:
        if case_mm == 0.0:
            print(f"{label}: none, the surface stays at or below {args.threshold:g} wt% C")
        else:
            print(f"{label}: {case_mm:.2f} mm")

    if args.plot:
        try:
            result.plot(args.plot, threshold_wt=args.threshold, title=title)
        except ImportError:
            print("matplotlib is not installed; no plot written", file=sys.stderr)
        else:
            print(f"Plot written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
