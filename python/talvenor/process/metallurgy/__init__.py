"""From the carbon and nitrogen profile to the hardened case: hardness
scales (:mod:`.conversions`), the transformation on quenching
(:mod:`.transformation`) and the hardened case (:mod:`.hardening`)."""
