#!/usr/bin/env python3
"""The floor check names an include that runs up a floor or sideways, and
passes a tree whose includes only run down."""

import pathlib
import subprocess
import sys
import tempfile

CHECK = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "check-layers.py"


def run(files):
    with tempfile.TemporaryDirectory() as root:
        for name, text in files.items():
            path = pathlib.Path(root, name)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
        done = subprocess.run([sys.executable, str(CHECK), root], capture_output=True, text=True)
        return done.returncode, done.stdout


def main():
    failures = []
    code, out = run({"app/search/A.cpp": '#include "core/Error.h"\n#include "app/platform/Pasteboard.h"\n'})
    if code != 0:
        failures.append(f"downward includes were refused: {out}")
    code, out = run({"app/semantic/B.h": '#include "app/shell/FilesPreferences.h"\n'})
    if code != 1 or 'includes "app/shell/FilesPreferences.h"' not in out or "above" not in out:
        failures.append(f"an upward include passed or was not named: {code} {out}")
    code, out = run({"app/semantic/C.cpp": '#  include "app/emoji/EmojiPicker.h"\n'})
    if code != 1 or "beside" not in out:
        failures.append(f"an include of a neighbour passed: {code} {out}")
    code, out = run({"app/newthing/D.cpp": '#include "core/Error.h"\n'})
    if code != 1 or "no floor" not in out:
        failures.append(f"a folder without a floor passed: {code} {out}")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
