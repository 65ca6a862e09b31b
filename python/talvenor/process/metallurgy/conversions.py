"""Hardness scales: Rockwell C and Vickers, by the ASTM E140 table.

ASTM E140, *Standard Hard Conversion Tables for Metals*, table 1
(non-austenitic steels): the Vickers hardness at each Rockwell C hardness
from 20 to 68, between which the conversions interpolate linearly.  Below
20 HRC the Rockwell C scale does not apply.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["hrc_to_hv", "hv_to_hrc", "HRC_RANGE", "HV_RANGE"]

# ASTM E140, non-austenitic steels: Vickers hardness at each Rockwell C from 20 to 68.
_HRC = np.arange(20.0, 69.0)
_HV = np.array([238, 243, 248, 254, 260, 266, 272, 279, 286, 294, 302, 310, 318, 327, 336, 345, 354, 363, 372, 382,
                392, 402, 412, 423, 434, 446, 458, 471, 484, 498, 513, 528, 544, 560, 577, 595, 613, 633, 653, 674,
                697, 720, 746, 772, 800, 832, 865, 900, 940], dtype=float)



#: The ends of the table: 20 to 68 HRC, 238 to 940 HV.
HRC_RANGE = (float(_HRC[0]), float(_HRC[-1]))
HV_RANGE = (float(_HV[0]), float(_HV[-1]))

def hrc_to_hv(hrc: ArrayLike) -> NDArray[np.float64]:
    """Vickers hardness of a Rockwell C hardness, interpolated linearly in
    the ASTM E140 table for non-austenitic steels (20 to 68 HRC; NaN beyond)."""
    hrc = np.asarray(hrc, dtype=float)
    return np.where((hrc >= _HRC[0]) & (hrc <= _HRC[-1]), np.interp(hrc, _HRC, _HV), np.nan)


def hv_to_hrc(hv: ArrayLike) -> NDArray[np.float64]:
    """Rockwell C hardness of a Vickers hardness, by the ASTM E140 table
    inverted: NaN outside 238 to 940 HV, where the Rockwell C scale does not
    apply (below 20 HRC) or the table ends."""
    hv = np.asarray(hv, dtype=float)
    return np.where((hv >= _HV[0]) & (hv <= _HV[-1]), np.interp(hv, _HV, _HRC), np.nan)
