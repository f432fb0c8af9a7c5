import pathlib

import korvane

_source = pathlib.Path(__file__).resolve().parents[2] / "python"
# The tests must exercise the built package, never the bare source tree.
assert not pathlib.Path(korvane.__file__).resolve().is_relative_to(_source), korvane.__file__
