"""Coupled carbon and nitrogen diffusion through a recipe: the numerics,
which the kernel (:mod:`talvenor._kernel`) carries out.

Space: conservative finite volumes on ``cells`` equal cells from the treated
surface inwards, one value per cell at its centre.  The flux between two cells
is ``A D (y_i - y_{i+1}) / h`` with the face area ``A = (r / R)**m`` per unit
of treated surface and D evaluated at the mean composition of the two cells.
The flux through the treated surface is the surface condition's (see
:mod:`talvenor.process.model.surface`): none where it is closed, beta
(y_potential - y_surface) behind a mass-transfer coefficient, a boost's as
delivered, or what a surface held at the potential takes.  It passes the half
cell between the surface and the first centre, of conductance ``2 D_s / h``;
D_s is taken at the composition of the surface itself, which is found from the
balance of the two fluxes by the secant method.  The far face of a plate and
the centre of a cylinder or sphere carry no flux.

Time: the numerical differentiation formulas of orders 1 to 5, with the
order and the step chosen anew as the run goes (Shampine and Reichelt, SIAM
J. Sci. Comput. 18 (1997) 1-22): each step solves for the profile at its end
from the profiles at the ends of the steps before, kept as the backward
differences of the polynomial through them.  The steps are linearly
implicit: a step takes the diffusivities at the profile that this
polynomial predicts for its end, as accurate as the step itself, so that it
solves one linear tridiagonal system after one evaluation of the
diffusivities per face.  Order 1 is the backward Euler step, which is
L-stable and keeps the maximum principle.  Every stage starts with it, from
the profile and its rate, the first step with the diffusivities of its
start; so does the run after a jump of the surface condition within a stage.
The order rises as the profile grows smooth in time.

Step sizes: the local error of a step is estimated from the difference
between the profile at its end and the one predicted.  A step from t to
t + dt after the start of a stage of duration T is accepted when that
error, in wt%, is within the tolerance times ``3 dt T / (t + dt)**2``:
later steps may err by less, in proportion to their share of the stage and
to how little of the error they make fades before its end (an error made
early is spread over an ever deeper profile); three because the errors of
the steps fade and partly cancel, so that what is left of them at the end
of a stage is, on the problems of the benchmarks, at most 0.4 of the
tolerance, and within it on a closed stage after a boost, where it fades
least.  Where the surface follows the first cell (behind a mass-transfer
coefficient, in a boost) no step errs by more than the tolerance either,
so that the history of the surface keeps within it too.  The
next step takes the order, of the one taken and the two next to it, whose
error allows the longest step, and the length at which that error is a
safe part of what the step may err by there.  A step that errs by too much
is taken again, shorter; where its error did not shrink with it (the
differences of the longer steps before no longer fit the profile), from the
profile and its rate alone, at order 1.  With a fixed number of steps per
stage instead, the steps are equal in the square root of the time since
the start of the stage, and each is a TR-BDF2 step (Bank et al., IEEE
Trans. CAD 4 (1985) 436): a trapezoidal stage to t + gamma dt and a BDF2
stage to t + dt, gamma = 2 - sqrt(2), second order and L-stable at any
ratio of one step to the next, where the formulas of order 2 are not
zero-stable beyond a ratio of 1 + sqrt(2); its diffusivities and surface
condition are those of its middle, at the composition extrapolated there
from the step before against the square root of the time, frozen for the
step.  Either way a step is
taken again when it would leave the range that the maximum principle
allows (the range of the profile at the start of the stage and of what its
surface conditions drive it to): at order 1, and shorter where it already
was.  The steps of a stage depend on that stage and the profile at its
start alone.

The formulas conserve what the part holds: the fluxes between the cells
cancel in its content.  The content gained is integrated by the same
formulas from the surface flux, beside the profile, so that it keeps the
digits of the flux (as the difference of two contents it would not); the
history records it beside the surface composition, which is found for each
point of the history from the balance at that time's temperature.
"""

from .failure import Failure
from .grid import Grid
from .run import ELEMENTS, Run, Trajectory, integrate

__all__ = ["ELEMENTS", "Failure", "Grid", "Run", "Trajectory", "integrate"]
