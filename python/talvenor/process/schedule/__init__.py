"""What a recipe does to what: the part (:mod:`.part`), and the treatment as
planned stages (:mod:`.stage`) or as a furnace recorded it (:mod:`.furnace_log`)."""
