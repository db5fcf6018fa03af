#!/usr/bin/env python3
"""Fails when a source file includes a header of its own floor's neighbour or
of a floor above its own.

The floors are the library folders, lowest first; a folder may include
headers of its own folder and of any lower floor, never of a folder beside it
or above it. docs/ARCHITECTURE.md draws the same table. A folder missing from
the table fails the check too, so a new library has to take a floor.

usage: check-layers.py SOURCE_DIR
"""

import pathlib
import re
import sys

FLOORS = [
    ["core"],
    ["app/platform", "SimilaritySearchKit"],
    ["app/platform/linux", "app/preferences", "app/calculator", "SimilaritySearchKitBGESmall"],
    ["app/search"],
    ["app/emoji", "app/semantic", "app/intelligence"],
    ["app/clipboard", "app/sources", "app/messages", "PallixRouter"],
    ["app/shell"],
    ["app/views", "cli"],
]

# Headers of a folder that stand on a floor of their own, below the folder's:
# the router's interface is its own library, which the router links instead
# of the whole intelligence library.
OWN_FLOOR = {
    "app/intelligence/QueryRouting.h": 1,
}

# Folders outside the product's libraries: they may include anything.
UNLAYERED = ("tests", "testing", "bench", "tools", "build", "scripts", "docs", ".deps", "third_party")

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def floor_of_folder():
    floors = {}
    for level, folders in enumerate(FLOORS):
        for folder in folders:
            floors[folder] = level
    return floors


def owning_folder(path, floors):
    """The longest folder of the table that holds path, or None."""
    parts = pathlib.PurePosixPath(path).parts
    for n in range(len(parts) - 1, 0, -1):
        candidate = "/".join(parts[:n])
        if candidate in floors:
            return candidate
    return None


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    floors = floor_of_folder()
    faults = []
    for source in sorted(root.rglob("*")):
        if source.suffix not in (".h", ".cpp") or not source.is_file():
            continue
        relative = source.relative_to(root).as_posix()
        top = relative.split("/")[0]
        if top in UNLAYERED or top.startswith("build"):
            continue
        folder = owning_folder(relative, floors)
        if folder is None:
            if "/" in relative:
                faults.append(f"{relative}: its folder has no floor in scripts/check-layers.py")
            continue
        level = floors[folder]
        text = source.read_text(encoding="utf-8", errors="replace")
        for included in INCLUDE.findall(text):
            target = owning_folder(included, floors)
            if target is None or target == folder:
                continue
            target_level = OWN_FLOOR.get(included, floors[target])
            if target_level >= level:
                where = "beside" if target_level == level else "above"
                faults.append(f'{relative}: includes "{included}", from {target} (floor {target_level}), '
                              f"{where} {folder} (floor {level})")
    for fault in faults:
        print(fault)
    if faults:
        print(f"{len(faults)} include(s) break the floors; move the code down a floor or the include up.")
        return 1
    print("every include stays on its floor or below")
    return 0


if __name__ == "__main__":
    sys.exit(main())
