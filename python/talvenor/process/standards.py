"""The limits that standards and shop practice read a case at.

- :data:`CASE_DEPTH_THRESHOLD_WT`: the carbon content that bounds the
  (effective) case unless another is asked for, 0.35 wt%, a usual choice
  for case-hardening steels.
- :data:`CHD_LIMIT_HV`: the hardness that bounds the hardened case, 550 HV,
  of ISO 18203 (formerly ISO 2639); SAE J423 reads it at 50 HRC, 513 HV.
- :data:`ISO_18203_CORE_HV`, :data:`ISO_18203_CORE_DEPTHS`: ISO 18203
  applies the 550 HV limit only where the core is below 450 HV at three
  times the case-hardening depth, and asks for a higher limit elsewhere.
- :data:`TOTAL_CASE_ABOVE_CORE_WT`: the total case ends where the carbon
  falls to the core's content plus 0.04 wt% (SAE J423).
- :data:`CARBIDE_TOLERANCE_G_M2`: the carbide at the surface, in g of carbon
  per m², at and below which a part counts as free of carbide: 0.05 g/m²,
  the carbon of a film of cementite 0.1 µm thick (Fe3C holds 6.69 wt% C, at
  7.69 g/cm³), below what an optical micrograph resolves.  Less is the
  rounding of where a run's steps end, and changes with the grid.
"""

__all__ = ["CASE_DEPTH_THRESHOLD_WT", "CHD_LIMIT_HV", "ISO_18203_CORE_HV", "ISO_18203_CORE_DEPTHS",
           "TOTAL_CASE_ABOVE_CORE_WT", "CARBIDE_TOLERANCE_G_M2"]

CASE_DEPTH_THRESHOLD_WT = 0.35
CHD_LIMIT_HV = 550.0
ISO_18203_CORE_HV = 450.0
ISO_18203_CORE_DEPTHS = 3.0
TOTAL_CASE_ABOVE_CORE_WT = 0.04
CARBIDE_TOLERANCE_G_M2 = 0.05
