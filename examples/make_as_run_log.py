"""Make the example furnace log, gear_20mncr5_as_run.csv.

The cycle of gear_20mncr5.toml as a sealed-quench furnace might have run it
and recorded it, at one sample every 10 s: the charge goes into the furnace
at 930 °C, which falls to 855 °C and recovers over about 45 min; the
atmosphere is held at 0.9 wt% for the first half hour, then the boost's
control overshoots its 1.15 wt% set point as the gas enriches; 2.6 h in, the door is opened to draw a test
coupon, and the furnace dips by 20 °C and the atmosphere by 0.3 wt%; then
the diffuse step, the cool to 850 °C and the hold there.  The furnace
follows its temperature set point with a lag of 12 min, the atmosphere its
carbon set point as a damped oscillator (damping 0.5, settling in about
20 min).  The controller records the temperature of its thermocouple and
the voltage of its oxygen probe in endogas (20 % CO), with noise (0.4 °C and
1.5 mV, standard deviations, seeded), as a European controller writes its
export: semicolons between the cells, and decimal commas.

Run it with:  python examples/make_as_run_log.py [OUT.csv]
"""

import datetime
import math
import sys

import numpy as np

from talvenor.process import atmosphere

SAMPLE_S = 10.0
START = datetime.datetime(2026, 11, 26, 5, 40)
# The program: (start in h, temperature set point in °C, carbon set point in
# wt%, hours the temperature set point takes to get there from the one before).
PROGRAM = ((0.0, 930.0, 0.9, 0.0), (0.5, 930.0, 1.15, 0.0), (4.75, 930.0, 0.75, 0.0), (6.25, 850.0, 0.75, 0.75),
           (7.5, 850.0, 0.75, 0.0))
LOAD_C, DOOR_H, DOOR_DIP_C, DOOR_DIP_WT = 855.0, 2.6, 20.0, 0.3


def set_points(time_h):
    """The temperature and carbon set points at ``time_h``."""
    temperature, carbon = np.empty_like(time_h), np.empty_like(time_h)
    for (start, t_set, c_set, ramp_h), (end, *_) in zip(PROGRAM, PROGRAM[1:]):
        inside = (time_h >= start) & (time_h <= end)
        before = temperature[time_h < start][-1] if start > 0.0 else t_set
        share = np.clip((time_h[inside] - start) / ramp_h, 0.0, 1.0) if ramp_h else 1.0
        temperature[inside] = before + share * (t_set - before)
        carbon[inside] = c_set
    return temperature, carbon


def door(time_h, depth):
    """A dip of ``depth`` when the door opens: down within a minute, back
    with a time constant of 4 min."""
    after_min = 60.0 * (time_h - DOOR_H)
    shape = np.where(after_min < 1.0, np.clip(after_min, 0.0, 1.0), np.exp(-(after_min - 1.0) / 4.0))
    return depth * shape


def furnace(time_h, t_set):
    """The furnace's temperature: the set point through a lag of 12 min, from the load's dip."""
    temperature = np.empty_like(time_h)
    temperature[0] = LOAD_C
    step = SAMPLE_S / 3600.0 / 0.2
    for i in range(1, time_h.size):
        temperature[i] = temperature[i - 1] + step * (t_set[i] - temperature[i - 1])
    return temperature - door(time_h, DOOR_DIP_C)


def atmosphere_carbon(time_h, c_set):
    """The carbon potential: the set point through a damped oscillator, from 0.6 wt%."""
    omega, damping, dt = 2.0 * math.pi / (25.0 / 60.0), 0.5, SAMPLE_S / 3600.0
    carbon, rate = np.empty_like(time_h), 0.0
    carbon[0] = 0.6
    for i in range(1, time_h.size):
        rate += dt * (omega * omega * (c_set[i] - carbon[i - 1]) - 2.0 * damping * omega * rate)
        carbon[i] = carbon[i - 1] + dt * rate
    return carbon - door(time_h, DOOR_DIP_WT)


def rows(seed=1184):
    rng = np.random.default_rng(seed)
    time_h = np.arange(0.0, PROGRAM[-1][0] * 3600.0 + SAMPLE_S / 2, SAMPLE_S) / 3600.0
    t_set, c_set = set_points(time_h)
    temperature = furnace(time_h, t_set)
    carbon = atmosphere_carbon(time_h, c_set)
    probe = np.array([atmosphere.probe_mv_for(float(c), float(t)) for c, t in zip(carbon, temperature)])
    temperature += rng.normal(0.0, 0.4, time_h.size)
    probe += rng.normal(0.0, 1.5, time_h.size)
    for t, degrees, mv, setpoint in zip(time_h, temperature, probe, c_set):
        moment = START + datetime.timedelta(seconds=round(t * 3600.0))
        yield [moment.isoformat(sep=" "), f"{degrees:.1f}", f"{mv:.1f}", f"{setpoint:.2f}"]


def main(path="examples/gear_20mncr5_as_run.csv"):
    lines = ["Furnace;SQ-3 sealed quench", "Charge;26-1184", "Program;P17 gear 20MnCr5 CHD 0.8-1.1",
             "Exported;2026-11-26 13:20:04", "", "Date/Time;Zone [°C];Probe [mV];Set point [%C]"]
    lines += [";".join(cell.replace(".", ",") if i else cell for i, cell in enumerate(row)) for row in rows()]
    with open(path, "w", encoding="utf-8", newline="\n") as file:
        file.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main(*sys.argv[1:])
