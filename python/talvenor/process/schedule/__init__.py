"""What a recipe does to what: the part (:mod:`.part`) and the stages (:mod:`.stage`)."""
