"""Files: recipe files read and written (:mod:`.recipe_file`), the profile as
CSV (:mod:`.profile_csv`), and output files that appear all together or not
at all (:mod:`.output_files`)."""

from .recipe_file import RecipeError, format_recipe, read_recipe

__all__ = ["RecipeError", "format_recipe", "read_recipe"]
