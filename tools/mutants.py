#!/usr/bin/env python3
"""The project's source mutation run over the layered tree.

Runs ../shared/tools/mutants.py (its options, its sample and its verdicts,
unchanged) with two adaptations to the tree's folders: the product's sources
are searched in the layer folders below disk/ as well (disk/device, disk/fs,
disk/copy), and the Windows backend is left out at its place there, as the
shared script leaves it out at disk/platform_win32.cpp.

    python3 tools/mutants.py --per-class 20          # from a clean clone
"""
import importlib.util
import pathlib
import sys

here = pathlib.Path(__file__).resolve().parent
shared = here.parent.parent / "shared" / "tools" / "mutants.py"
if not shared.exists():
    shared = pathlib.Path.cwd().parent / "shared" / "tools" / "mutants.py"
found = importlib.util.spec_from_file_location("shared_mutants", shared)
mutants = importlib.util.module_from_spec(found)
found.loader.exec_module(mutants)

mutants.EXCLUDED = set(mutants.EXCLUDED) | {"disk/device/platform_win32.cpp"}

_glob = pathlib.Path.glob


def _layered_glob(self, pattern):
    # The shared script asks each of disk/, mpeg/ and cli/ for "*.cpp".
    if pattern == "*.cpp" and self.name == "disk":
        return _glob(self, "**/*.cpp")
    return _glob(self, pattern)


pathlib.Path.glob = _layered_glob
sys.argv[0] = str(shared)
mutants.main()
