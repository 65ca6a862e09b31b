"""Presentation of an outcome: as text (:mod:`.text`), as a picture
(:mod:`.plot`, which needs matplotlib) and as a PDF report (:mod:`.report`)."""
