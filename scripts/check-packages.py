#!/usr/bin/env python3
"""Checks that scripts/setup.sh installs every Debian package the build and
the tests use, so that README's set-up holds on a fresh Debian 12 machine and
not only on the one CI happens to run on.

    scripts/check-packages.py --build-dir BUILD [--source-dir DIR] [--setup FILE] [--list]

What is checked, each file resolved to the package that owns it (dpkg -S,
following symbolic links one step at a time and trying both sides of the
merged /usr: /lib and /usr/lib, /bin and /usr/bin, /sbin and /usr/sbin):
  - every file and folder the configure step of BUILD found: CMakeCache.txt's
    FILEPATH and PATH entries and the interpreters it cached (find_library,
    find_program, find_path, find_package's <Name>_DIR with the config file
    in it, the module results such as OPENSSL_CRYPTO_LIBRARY); a search of
    this project's own CMake files that came back NOTFOUND fails too, since
    what the build looks for on CI must exist on a fresh machine as well;
  - the .pc file of every module named by pkg_check_modules and
    pkg_search_module in any CMakeLists.txt or cmake/*.cmake, and of the
    modules those require (pkg-config --path), whatever the build options;
  - every program the integration tests, the test helpers, the benchmarks and
    the platform layer start, read from the code (the names passed to
    findInPath, runProcess, BackgroundProcess, ChildProcess, launchDetached,
    subprocess and the helpers that forward to them, CTest's add_test
    commands), plus EXTRA_PROGRAMS for what no pattern reaches; a name that
    is one of pallix's own commands is an argument, not a program;
  - the modules (outside the standard library) of every Python script the
    build or the tests run, and RUNTIME_FILES: what is loaded at run time by
    name (Qt plugins, fonts, the libFuzzer runtime);
  - absolute paths of existing files quoted in the code that runs (app/,
    cli/, core/, testing/, tests/integration/, bench/).

A file whose owner is one of these passes:
  - a package in setup.sh's PACKAGES list;
  - a package of a minimal Debian 12: Priority required or important, or
    Essential (debootstrap's default installation has exactly these);
  - a package that a listed package Depends or Pre-Depends on directly: that
    package's maintainers promise it, so it comes whenever the listed one does;
  - deeper in the Depends of listed packages, a package that is not a -dev
    package (run-time libraries and tools of a tool chain, such as g++-12
    under build-essential). A -dev package reached only this way is fragile:
    the chain that brings it changes between releases, so it must be listed.
Recommends are never followed (setup.sh installs with --no-install-recommends).
A program found outside Debian's packages (a pyenv shim, /usr/local/bin) is
checked as the same name in /usr/bin, /bin, /usr/sbin or /sbin, which is what
a fresh machine runs; other files outside every package fail. The compiler's
own files (its headers, run-time and sanitizer libraries) are left to the
compiler's packages, which build-essential brings.

Exit status: 0 when everything is provided, 1 naming each missing package and
what needed it, 2 when the check cannot run.
"""

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
from collections import defaultdict

# Programs started in ways no pattern below reaches: name -> who starts it.
EXTRA_PROGRAMS = {
    "setpriv": "tests/integration/MessagesCliTests.cpp (runs a command as another user)",
    "sh": "tests/shell/prefs_cli_test.sh and the `sh -c` commands of the integration tests",
}

# Names the code may start but the tests never need: name -> why not.
OPTIONAL_PROGRAMS = {
    "xsel": "the clipboard's fallback where xclip is missing; setup.sh installs xclip",
    "x-terminal-emulator": "the terminal for Terminal=true applications, which the desktop in use brings; "
                           "the tests record that launch with a fake command runner",
}

# CMakeCache.txt entries a find module fills on every call though nothing
# here links them: name -> why.
IGNORED_CACHE_ENTRIES = {
    "OPENGL_glu_LIBRARY": "FindOpenGL (through Qt 6) looks for GLU on every call; nothing links it",
    "OPENGL_egl_LIBRARY": "FindOpenGL (through Qt 6) looks for EGL on every call; Qt links OpenGL::GL only",
    "OPENGL_EGL_INCLUDE_DIR": "FindOpenGL (through Qt 6) looks for EGL on every call; Qt links OpenGL::GL only",
}

# Files loaded at run time by name, checked when the build tree has the
# target that loads them: (cache entry that must be set, glob, why).
RUNTIME_FILES = [
    ("Qt6_DIR", "/usr/lib/*/qt6/plugins/platforms/libqxcb.so",
     "Qt's X11 platform plugin, which pallix-desktop loads (tests/integration/desktop)"),
    ("Qt6_DIR", "/usr/lib/*/qt6/plugins/imageformats/libqsvg.so",
     "Qt's SVG image plugin, which draws the results' theme icons (app/views/ResultsView.cpp)"),
    ("Qt6_DIR", "/usr/lib/*/qt6/plugins/iconengines/libqsvgicon.so",
     "Qt's SVG icon engine, which draws the results' theme icons (app/views/ResultsView.cpp)"),
    ("Qt6_DIR", "/usr/share/fonts/**/NotoColorEmoji.ttf",
     "the colour emoji font the results list asks for (app/views/ResultsView.cpp)"),
]

MERGED_USR = ("/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32")
DEBIAN_BIN = ("/usr/bin", "/bin", "/usr/sbin", "/sbin")
CMAKE_FIND = re.compile(
    r"\b(pkg_check_modules|pkg_search_module|find_package|find_library|find_program|find_path|find_file)"
    r"\s*\(([^)]*)\)", re.IGNORECASE)
FIND_KEYWORDS = {"REQUIRED", "QUIET", "IMPORTED_TARGET", "GLOBAL", "NO_CMAKE_PATH", "NO_CMAKE_ENVIRONMENT_PATH",
                 "NAMES", "PATHS", "HINTS", "PATH_SUFFIXES", "NO_DEFAULT_PATH", "COMPONENTS", "OPTIONAL_COMPONENTS",
                 "CONFIG", "MODULE", "NO_MODULE", "EXACT", "DOC"}
# Where the program a line starts is its first quoted word. STRICT calls
# always start a program; LOOSE ones are test helpers that may instead
# forward their arguments to pallix.
STRICT_PROGRAM = [re.compile(p) for p in (
    r'\b(?:findInPath|onPath|findExecutable)\(\s*"([^"]+)"',
    r'\b(?:runProcess|ChildProcess::start|ChildProcess::run|launchDetached|BackgroundProcess(?:\s+\w+)?)\('
    r'\s*(?:std::vector<std::string>)?\{\s*"([^"]+)"',
    r'make_unique<BackgroundProcess>\(\s*std::vector<std::string>\{\s*"([^"]+)"',
    r'\binsert\(\s*\w+\.begin\(\),\s*\{\s*"([^"]+)"',
    r'\b\w+_\(\s*\{\s*"([^"]+)"',
    r'"(?:sh|bash)",\s*"-c",\s*"([A-Za-z0-9_.+-]+)[\s"]',
    r'\bsubprocess\.\w+\(\s*\[\s*"([^"]+)"',
)]
LOOSE_PROGRAM = [re.compile(r'\b(?:run|start|launch)\w*\(\s*\{\s*"([^"]+)"')]
PROGRAM_SOURCES = ("tests/integration", "testing", "bench", "app/platform/linux")
PATH_LITERAL_SOURCES = ("app", "cli", "core", "testing", "tests/integration", "bench")
PATH_LITERAL = re.compile(r'"(/(?:usr|etc|lib|bin|sbin|opt)/[A-Za-z0-9._+/-]+)"')
SOURCE_SUFFIXES = (".cpp", ".h", ".py", ".sh")


class Need:
    """A file (or folder) some part of the build or the tests needs, or, with
    path None, something that could not be found at all."""

    def __init__(self, path, why, program=None, indirect=False):
        self.path = path
        self.why = why
        self.program = program  # the name searched for, when it is a program
        # Needed by another package's file (a .pc file's Requires), not by
        # this project: that package's Depends carry it, at any depth.
        self.indirect = indirect


def rel(path, source):
    return os.path.relpath(path, source) if path.startswith(source + "/") else path


def source_files(source, folders, suffixes):
    for folder in folders:
        for root, dirs, files in os.walk(os.path.join(source, folder)):
            dirs[:] = sorted(d for d in dirs if not d.startswith(".") and not d.startswith("build"))
            for name in sorted(files):
                if name.endswith(suffixes):
                    yield os.path.join(root, name)


def cmake_files(source):
    for root, dirs, files in os.walk(source):
        dirs[:] = sorted(d for d in dirs if not d.startswith(".") and not d.startswith("build"))
        for name in sorted(files):
            if name == "CMakeLists.txt" or (name.endswith(".cmake") and os.path.basename(root) == "cmake"):
                yield os.path.join(root, name)


def cmake_text(path):
    with open(path, encoding="utf-8") as f:
        return re.sub(r"#[^\n]*", "", f.read())


def cmake_calls(source):
    """(command, arguments, file) of every find and pkg-config call."""
    calls = []
    for path in cmake_files(source):
        for m in CMAKE_FIND.finditer(cmake_text(path)):
            calls.append((m.group(1).lower(), m.group(2).split(), rel(path, source)))
    return calls


def read_packages(setup):
    with open(setup, encoding="utf-8") as f:
        text = f.read()
    m = re.search(r"^PACKAGES=\((.*?)^\)", text, re.MULTILINE | re.DOTALL)
    if not m:
        raise SystemExit(f"{setup}: no PACKAGES=( ... ) list")
    return set(re.sub(r"#[^\n]*", "", m.group(1)).split())


def read_cache(build):
    entries = {}
    with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as f:
        for line in f:
            m = re.match(r"^([^#/][^:=]*):(\w+)=(.*)$", line.rstrip("\n"))
            if m:
                entries[m.group(1)] = (m.group(2), m.group(3))
    return entries


class Packages:
    """The installed packages (dpkg-query), and which of them setup.sh's list
    brings, directly or through Depends."""

    QUERY = "${db:Status-Abbrev}\t${Package}\t${Priority}\t${Essential}\t${Provides}\t${Pre-Depends}, ${Depends}\n"

    def __init__(self, listed, database=None):
        """`database`: dpkg-query -W -f QUERY's output; this machine's by default."""
        self.listed = listed
        self.priority, self.essential, self.depends, self.provides = {}, set(), {}, defaultdict(set)
        out = database if database is not None else run(["dpkg-query", "-W", "-f", self.QUERY])
        for line in out.splitlines():
            status, name, priority, essential, provides, depends = (line.split("\t") + [""] * 6)[:6]
            if not status.startswith("ii"):
                continue
            self.priority[name] = priority
            if essential == "yes":
                self.essential.add(name)
            self.depends[name] = depends
            for p in provides.split(","):
                if p.strip():
                    self.provides[p.split()[0]].add(name)
        self.base = {p for p, prio in self.priority.items() if prio in ("required", "important")} | self.essential
        self.parent = {}  # a package reached through Depends -> the package that depends on it
        self.direct = set()
        frontier = [p for p in sorted(listed) if p in self.depends]
        for depth in range(64):
            reached = []
            for p in frontier:
                for d in self.dependencies(p):
                    if d not in listed and d not in self.parent:
                        self.parent[d] = p
                        reached.append(d)
                        if depth == 0:
                            self.direct.add(d)
            if not reached:
                break
            frontier = reached

    def dependencies(self, package):
        """The installed packages that satisfy the Depends of `package`."""
        found = set()
        for clause in self.depends.get(package, "").split(","):
            for alternative in clause.split("|"):
                words = alternative.split()
                if not words:
                    continue
                name = words[0].split(":")[0]
                if name in self.priority:
                    found.add(name)
                found |= self.provides.get(name, set())
        return found

    def chain(self, package):
        steps = [package]
        while steps[-1] in self.parent and len(steps) < 16:
            steps.append(self.parent[steps[-1]])
        return " -> ".join(reversed(steps))

    def verdict(self, package, indirect=False):
        """None when the package is acceptable, else why not."""
        if package in self.listed or package in self.base or package in self.direct:
            return None
        if package in self.parent:
            if indirect or not package.endswith("-dev"):
                return None
            return f"it is installed only as a dependency of a dependency ({self.chain(package)})"
        return ""


def run(argv, check=True):
    r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if check and r.returncode != 0:
        raise SystemExit(f"{' '.join(argv)} failed: {r.stderr.strip()}")
    return r.stdout


def merged_variants(path):
    """The path and its other spelling under the merged /usr."""
    variants = [path]
    for top in MERGED_USR:
        if path.startswith(top + "/"):
            variants.append("/usr" + path)
        elif path.startswith("/usr" + top + "/"):
            variants.append(path[len("/usr"):])
    return variants


def link_chain(path):
    """The path and every step of the symbolic links it goes through."""
    steps = [path]
    while os.path.islink(steps[-1]) and len(steps) < 16:
        target = os.readlink(steps[-1])
        steps.append(os.path.normpath(os.path.join(os.path.dirname(steps[-1]), target)))
    real = os.path.realpath(path)
    if real not in steps:
        steps.append(real)
    return steps


def owners_of(paths):
    """path -> set of owning packages, for every path dpkg knows (one query)."""
    owners = defaultdict(set)
    paths = sorted(set(paths))
    for i in range(0, len(paths), 500):
        for line in run(["dpkg-query", "-S", *paths[i:i + 500]], check=False).splitlines():
            if line.startswith(("diversion ", "local diversion")) or ": /" not in line:
                continue
            names, path = line.split(": /", 1)
            for name in names.split(","):
                owners["/" + path].add(name.strip().split(":")[0])
    return owners


def which(program):
    path = os.environ.get("PATH", "") + ":" + ":".join(DEBIAN_BIN)
    return shutil.which(program, path=path)


class Collector:
    def __init__(self, source, build):
        self.source, self.build = source, build
        self.needs = []
        self.calls = cmake_calls(source)
        self.cache = read_cache(build) if build else {}

    def add(self, path, why, program=None, indirect=False):
        self.needs.append(Need(path, why, program, indirect))

    def outside_project(self, path):
        return not any(path == d or path.startswith(d + "/") for d in (self.source, self.build) if d)

    # pkg-config modules: searched from the CMake files, so a tree configured
    # without the benchmarks still checks what they need.
    def pkg_config(self):
        seen = set()
        for command, args, where in self.calls:
            if command not in ("pkg_check_modules", "pkg_search_module"):
                continue
            for word in args[1:]:
                if word.upper() in FIND_KEYWORDS or word.startswith("$"):
                    continue
                self.module(re.split(r"[<>=]", word)[0], where, None, seen)

    def module(self, name, where, via, seen):
        if (name, where) in seen:
            return
        seen.add((name, where))
        place = f"required by {via}, {where}" if via else where
        r = subprocess.run(["pkg-config", "--path", name], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        if r.returncode != 0 or not r.stdout.strip():
            self.add(None, f"no installed package provides the pkg-config module {name} ({place})")
            return
        self.add(r.stdout.split()[0], f"pkg-config {name}, {place}", indirect=via is not None)
        for flag in ("--print-requires", "--print-requires-private"):
            for line in run(["pkg-config", flag, name], check=False).splitlines():
                if line.split():
                    self.module(line.split()[0], where, via or name, seen)

    def owner_of_var(self, var):
        """The find call of this project that set a cache entry, as text."""
        for command, args, where in self.calls:
            if not args:
                continue
            head = args[0]
            if command in ("find_library", "find_program", "find_path", "find_file") and var == head:
                return f"{command}({head}), {where}"
            if command in ("pkg_check_modules", "pkg_search_module") and (
                    var.startswith(head + "_") or var.startswith(f"pkgcfg_lib_{head}_")):
                return f"{command}({head}), {where}"
            if command == "find_package":
                prefixes = {head, head.upper(), "_" + head, "_" + head.upper(), f"pkgcfg_lib__{head.upper()}",
                            f"PC_{head.upper()}"}
                if head == "PkgConfig":
                    prefixes.add("PKG_CONFIG")
                if any(var.startswith(p + "_") for p in prefixes) or (head == "Qt6" and var.startswith("Qt6")):
                    return f"find_package({head}), {where}"
        return None

    def cache_entries(self):
        own = {args[0]: (command, args, where) for command, args, where in self.calls
               if command in ("find_library", "find_program", "find_path", "find_file") and args}
        for command, args, where in self.calls:
            if command == "find_package" and args and f"{args[0]}_DIR" in self.cache:
                own[f"{args[0]}_DIR"] = (command, args, where)
        for var, (kind, value) in sorted(self.cache.items()):
            if var in IGNORED_CACHE_ENTRIES:
                continue
            if kind not in ("FILEPATH", "PATH") and not (kind == "INTERNAL" and var.endswith("_EXECUTABLE")):
                continue
            if var.startswith("CMAKE_INSTALL_") or var == "CMAKE_FIND_PACKAGE_REDIRECTS_DIR":
                continue
            origin = self.owner_of_var(var)
            why = f"{origin}, {var}" if origin else f"CMakeCache.txt {var}"
            if value.endswith("-NOTFOUND") or not value:
                # find_package tries a config file before its find module:
                # <Name>_DIR stays NOTFOUND where the module found it.
                found_by_module = var.endswith("_DIR") and f"FIND_PACKAGE_MESSAGE_DETAILS_{var[:-4]}" in self.cache
                if var in own and not found_by_module:
                    self.add(None, f"{own[var][0]}({var}) in {own[var][2]} found nothing: add the package that "
                                   "provides it to the set-up script")
                continue
            for item in value.split(";"):
                if not os.path.isabs(item) or not os.path.exists(item) or not self.outside_project(item):
                    continue
                if var in own and own[var][0] == "find_path":
                    names = [a for a in own[var][1][1:] if a.upper() not in FIND_KEYWORDS]
                    found = [os.path.join(item, n) for n in names if os.path.exists(os.path.join(item, n))]
                    item = found[0] if found else item
                elif var.endswith("_DIR") and os.path.isdir(item):
                    configs = sorted(glob.glob(os.path.join(item, "*onfig.cmake")))
                    item = configs[0] if configs else item
                program = var.endswith(("_EXECUTABLE", "PROGRAM")) or (var in own and own[var][0] == "find_program")
                self.add(item, why, program=os.path.basename(item) if program and os.path.isfile(item) else None)

    def runtime_files(self):
        for entry, pattern, why in RUNTIME_FILES:
            if entry not in self.cache or self.cache[entry][1].endswith("NOTFOUND"):
                continue
            found = sorted(glob.glob(pattern, recursive=True))
            if found:
                self.add(found[0], why)
            else:
                self.add(None, f"nothing installed provides {pattern}, {why}")
        if "Qt6_DIR" in self.cache and shutil.which("fc-match"):
            font = run(["fc-match", "-f", "%{file}", "sans-serif"], check=False).strip()
            if font:
                self.add(font, "the text font fontconfig gives the panel for sans-serif (fc-match sans-serif)")
        clang = self.cache.get("PALLIX_CLANGXX", ("", ""))[1]
        if clang and os.path.exists(clang):
            runtime = run([clang, "-print-runtime-dir"], check=False).strip()
            machine = os.uname().machine
            fuzzer = os.path.join(runtime, f"libclang_rt.fuzzer-{machine}.a")
            why = ("the libFuzzer run-time that clang++ links messages_fuzz_archived_text with, "
                   "tests/messages/CMakeLists.txt")
            if os.path.exists(fuzzer):
                self.add(fuzzer, why)
            else:
                self.add(None, f"nothing installed provides {fuzzer}, {why}")

    def programs(self):
        commands = {"help"}  # cli/main.cpp answers it before the command table
        for path in source_files(self.source, ("cli",), (".cpp",)):
            with open(path, encoding="utf-8") as f:
                commands |= set(re.findall(r'PALLIX_COMMAND\(\s*"([^"]+)"', f.read()))
        started = defaultdict(set)  # name -> files
        for path in source_files(self.source, PROGRAM_SOURCES, SOURCE_SUFFIXES):
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
            for pattern in STRICT_PROGRAM:
                for name in pattern.findall(text):
                    started[name].add(rel(path, self.source))
            for pattern in LOOSE_PROGRAM:
                for name in pattern.findall(text):
                    if name not in commands:
                        started[name].add(rel(path, self.source))
        targets = set()
        for path in cmake_files(self.source):
            text = cmake_text(path)
            targets |= set(re.findall(r"\b(?:add_executable|add_custom_target|add_library)\s*\(\s*([^\s)$]+)", text))
            targets |= set(re.findall(r"\bNAME\s+([^\s)$]+)", text))
            for m in re.finditer(r"add_test\s*\(\s*NAME\s+\S+\s+COMMAND\s+([^\s)$]+)", text):
                started[m.group(1)].add(rel(path, self.source))
        for name, why in EXTRA_PROGRAMS.items():
            started[name].add(why)
        for name, files in sorted(started.items()):
            if name in OPTIONAL_PROGRAMS or name in targets or "::" in name or name.startswith("-") or " " in name:
                continue
            why = f"started by {', '.join(sorted(files))}"
            if name.startswith("/"):
                if os.path.exists(name):
                    self.add(name, why)
                continue
            found = which(name)
            if found:
                self.add(found, why, program=name)
            else:
                self.add(None, f"{name} is {why} but is not installed here (not on PATH)")

    def python_modules(self):
        scripts = set(source_files(self.source, ("tests",), (".py",)))
        for path in cmake_files(self.source):
            for m in re.finditer(r"\$\{(\w+)\}(/[\w/.-]+\.py)\b", cmake_text(path)):
                base = os.path.dirname(path) if m.group(1) == "CMAKE_CURRENT_SOURCE_DIR" else self.source
                scripts.add(os.path.normpath(base + m.group(2)))
        modules = defaultdict(set)
        for script in sorted(s for s in scripts if os.path.exists(s)):
            with open(script, encoding="utf-8") as f:
                for m in re.finditer(r"^\s*(?:import|from)\s+([A-Za-z_]\w*)", f.read(), re.MULTILINE):
                    name = m.group(1)
                    sibling = os.path.join(os.path.dirname(script), name)
                    if name in sys.stdlib_module_names or os.path.exists(sibling + ".py") or os.path.isdir(sibling):
                        continue
                    modules[name].add(rel(script, self.source))
        if not modules:
            return
        # Debian's interpreter, which a fresh machine runs, whatever PATH says.
        python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
        probe = ("import importlib.util,sys\nfor n in sys.argv[1:]:\n s=importlib.util.find_spec(n)\n"
                 " print(n, s.origin if s and s.origin else '-')")
        for line in run([python, "-c", probe, *sorted(modules)], check=False).splitlines():
            name, origin = line.split(" ", 1)
            why = f"Python module {name}, imported by {', '.join(sorted(modules[name]))}"
            self.add(origin if origin != "-" else None,
                     why if origin != "-" else f"no installed package provides the {why}")

    def path_literals(self):
        quoted = defaultdict(set)
        for path in source_files(self.source, PATH_LITERAL_SOURCES, SOURCE_SUFFIXES):
            with open(path, encoding="utf-8", errors="replace") as f:
                for literal in PATH_LITERAL.findall(f.read()):
                    if os.path.isfile(literal):
                        quoted[literal].add(rel(path, self.source))
        for literal, files in sorted(quoted.items()):
            self.add(literal, f"quoted by {', '.join(sorted(files))}")

    def collect(self):
        self.pkg_config()
        if self.build:
            self.cache_entries()
            self.runtime_files()
        self.programs()
        self.python_modules()
        self.path_literals()
        return self.needs


def check(needs, packages, setup_name, listing=None, owners_of=owners_of):
    """The failure lines, one per missing package or unfound need; with
    `listing`, every need and its owners are appended to it as well."""
    candidates = {}
    for need in needs:
        if need.path:
            steps = link_chain(need.path)
            if need.program:
                steps += [os.path.join(d, need.program) for d in DEBIAN_BIN]
            candidates[need] = [(s, v) for s in steps for v in merged_variants(s)]
    owners = owners_of(v for steps in candidates.values() for _, v in steps)
    missing = defaultdict(list)  # package -> [(path, why)]
    failures = []
    for need in needs:
        if not need.path:
            failures.append(need.why)
            continue
        found = None
        for step, variant in candidates[need]:
            if owners.get(variant):
                found = (step, owners[variant])
                break
        if not found:
            failures.append(f"{need.path} ({need.why}) belongs to no Debian package, so a fresh machine lacks it")
            continue
        path, owning = found
        if listing is not None:
            names = sorted(owning) if len(owning) <= 4 else sorted(owning)[:3] + [f"{len(owning) - 3} more"]
            instead = "" if path in link_chain(need.path) else f", in place of {need.path}, which no package provides"
            listing.append(f"{', '.join(names)}: {path} ({need.why}{instead})")
        if any(packages.verdict(p, need.indirect) is None for p in owning):
            continue
        package = sorted(owning)[0] if len(owning) == 1 else "one of " + ", ".join(sorted(owning))
        missing[package].append((path, need.why, packages.verdict(sorted(owning)[0], need.indirect)))
    for package, items in sorted(missing.items()):
        note = items[0][2]
        lines = [f"{setup_name} does not install {package}, which provides {items[0][0]} ({items[0][1]})"]
        lines += [f"    and {path} ({why})" for path, why, _ in items[1:6]]
        if len(items) > 6:
            lines.append(f"    and {len(items) - 6} more")
        if note:
            lines.append(f"    ({note}: list it)")
        failures.append("\n".join(lines))
    return failures


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser.add_argument("--build-dir", help="a configured build tree (its CMakeCache.txt)")
    parser.add_argument("--source-dir", default=here)
    parser.add_argument("--setup", help="the set-up script whose PACKAGES list is checked (scripts/setup.sh)")
    parser.add_argument("--list", action="store_true", help="also print every file checked and its package")
    args = parser.parse_args(argv)
    source = os.path.realpath(args.source_dir)
    setup = args.setup or os.path.join(source, "scripts/setup.sh")
    build = os.path.realpath(args.build_dir) if args.build_dir else None
    if build and not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        print(f"{build} has no CMakeCache.txt: configure it first", file=sys.stderr)
        return 2
    for tool in ("dpkg-query", "pkg-config"):
        if not shutil.which(tool):
            print(f"{tool} is missing: this check runs on Debian, after scripts/setup.sh --no-build", file=sys.stderr)
            return 2
    needs = Collector(source, build).collect()
    listing = [] if args.list else None
    setup_name = rel(os.path.realpath(setup), source)
    failures = check(needs, Packages(read_packages(setup)), setup_name, listing)
    for line in listing or []:
        print(line)
    for line in failures:
        print(line)
    if not failures:
        print(f"{len(needs)} files and programs checked: {setup_name} installs every package they come from")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
