"""The physical models of a part and its atmosphere: the steel (:mod:`.steel`),
the carbon solubility of austenite (:mod:`.solubility`), the surface
conditions (:mod:`.surface`) and the diffusivities and where they hold
(:mod:`.diffusivity`)."""
