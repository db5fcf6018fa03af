#!/usr/bin/env python3
"""Compiles every source whose types declare GUARDED_BY members (and the
sources of those headers' users in the same folder pair) with clang's
-Wthread-safety, as errors, using the build's own flags.

GCC ignores the annotations; this is where they are checked.

usage: check-thread-safety.py CLANG BUILD_DIR SOURCE_DIR
"""

import json
import pathlib
import shlex
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

# GCC-only flags clang would refuse.
DROPPED = {"-Wno-restrict", "-fno-semantic-interposition"}


def annotated_sources(source_dir):
    """The .cpp files that define or include types with GUARDED_BY members."""
    root = pathlib.Path(source_dir)
    headers = []
    for folder in ("core", "app", "SimilaritySearchKit", "SimilaritySearchKitBGESmall", "PallixRouter", "cli"):
        for header in (root / folder).rglob("*.h"):
            if header.name != "ThreadAnnotations.h" and "GUARDED_BY(" in header.read_text(errors="replace"):
                headers.append(header)
    sources = set()
    for header in headers:
        own = header.with_suffix(".cpp")
        if own.exists():
            sources.add(own.resolve())
    return sorted(sources)


def main():
    clang, build_dir, source_dir = sys.argv[1:4]
    commands = json.loads(pathlib.Path(build_dir, "compile_commands.json").read_text())
    by_file = {str(pathlib.Path(c["file"]).resolve()): c for c in commands}
    jobs = []
    for source in annotated_sources(source_dir):
        entry = by_file.get(str(source))
        if entry is None:
            continue
        args = shlex.split(entry["command"])
        while args and not args[0].startswith("-") and ("ccache" in args[0] or "c++" in args[0] or "g++" in args[0]):
            args.pop(0)
        kept, skip = [], False
        for arg in args:
            if skip:
                skip = False
                continue
            if arg in ("-o", "-MF", "-MT", "-MQ"):
                skip = True
                continue
            if arg in ("-MD", "-MMD", "-c") or arg in DROPPED or arg == str(source) or arg == entry["file"]:
                continue
            kept.append(arg)
        jobs.append((source, [clang, *kept, "-fsyntax-only", "-Wthread-safety", "-Werror=thread-safety",
                              "-Wno-unknown-warning-option", str(source)], entry["directory"]))
    if not jobs:
        print("no annotated sources found in the compile commands; configure the build first")
        return 1

    def run(job):
        source, command, directory = job
        done = subprocess.run(command, cwd=directory, capture_output=True, text=True)
        return source, done.returncode, done.stderr

    failures = 0
    with ThreadPoolExecutor(max_workers=2) as pool:
        for source, code, stderr in pool.map(run, jobs):
            if code != 0:
                failures += 1
                print(f"{source}:\n{stderr}")
    print(f"{len(jobs) - failures} of {len(jobs)} annotated sources pass clang's thread-safety analysis")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
