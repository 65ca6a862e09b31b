# Registered and empty: the module holds nothing yet.
