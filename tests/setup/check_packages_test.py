#!/usr/bin/env python3
"""Tests of scripts/check-packages.py: a copy of setup.sh's list with one
package taken out fails naming that package and what needed it; the rule for
packages that come as dependencies, against a made-up package database; the
scan of a made-up source tree; and path resolution through symbolic links and
the merged /usr, against this machine's dpkg.

    check_packages_test.py --build-dir BUILD --source-dir SOURCE
"""

import argparse
import contextlib
import glob
import importlib.util
import io
import os
import re
import subprocess
import sys
import tempfile
import unittest

ARGS = None
check_packages = None


def load(source):
    spec = importlib.util.spec_from_file_location("check_packages", os.path.join(source, "scripts/check-packages.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


class RemovedPackageTest(unittest.TestCase):
    """This tree's needs, checked against setup.sh with one package removed."""

    @classmethod
    def setUpClass(cls):
        cls.source, cls.build = ARGS.source_dir, ARGS.build_dir
        cls.needs = check_packages.Collector(cls.source, cls.build).collect()
        cls.cache = check_packages.read_cache(cls.build)
        owners = {}

        def cached_owners(paths):
            paths = list(paths)
            unknown = [p for p in paths if p not in owners]
            found = check_packages.owners_of(unknown)
            owners.update({p: found.get(p, set()) for p in unknown})
            return {p: owners[p] for p in paths if owners[p]}

        cls.owners_of = staticmethod(cached_owners)
        with open(os.path.join(cls.source, "scripts/setup.sh"), encoding="utf-8") as f:
            cls.setup_text = f.read()

    def failures_without(self, package):
        with tempfile.TemporaryDirectory() as tmp:
            copy = os.path.join(tmp, "setup.sh")
            body = re.search(r"^PACKAGES=\(.*?^\)", self.setup_text, re.MULTILINE | re.DOTALL)
            cut = re.sub(rf"(?<![\w.+-]){re.escape(package)}(?![\w.+-])", "", body.group(0))
            write(copy, self.setup_text.replace(body.group(0), cut))
            listed = check_packages.read_packages(copy)
            self.assertNotIn(package, listed)
            self.assertIn("build-essential", listed)
            return check_packages.check(self.needs, check_packages.Packages(listed), "setup.sh",
                                        owners_of=self.owners_of)

    def expect_only(self, package, text):
        failures = self.failures_without(package)
        self.assertEqual(len(failures), 1, "\n".join(failures))
        self.assertTrue(failures[0].startswith(f"setup.sh does not install {package}, which provides "), failures[0])
        self.assertIn(text, failures[0])

    def test_the_full_list_passes(self):
        listed = check_packages.read_packages(os.path.join(self.source, "scripts/setup.sh"))
        failures = check_packages.check(self.needs, check_packages.Packages(listed), "setup.sh",
                                        owners_of=self.owners_of)
        self.assertEqual(failures, [])

    def test_a_pkg_config_module_names_its_pc_file_and_the_cmake_file(self):
        pc = subprocess.run(["pkg-config", "--path", "xcb-xtest"], stdout=subprocess.PIPE, text=True).stdout.strip()
        self.expect_only("libxcb-xtest0-dev", f"does not install libxcb-xtest0-dev, which provides {pc} "
                                              "(pkg-config xcb-xtest, bench/desktop/CMakeLists.txt)")

    def test_a_program_a_test_starts_names_the_test(self):
        self.expect_only("xdotool", "/usr/bin/xdotool (started by ")
        self.expect_only("xdotool", "tests/integration/desktop/DesktopPanelTest.cpp")
        self.expect_only("x11-utils", "/usr/bin/xprop (started by ")
        self.expect_only("x11-utils", "tests/integration/desktop/DesktopPanelTest.cpp")
        self.expect_only("tmux", "(started by testing/TestProcess.cpp")

    def test_a_find_package_config_file_names_the_cache_entry(self):
        config = os.path.join(self.cache["nlohmann_json_DIR"][1], "nlohmann_jsonConfig.cmake")
        self.expect_only("nlohmann-json3-dev",
                         f"{config} (find_package(nlohmann_json), CMakeLists.txt, nlohmann_json_DIR)")

    def test_a_package_a_listed_package_depends_on_may_be_left_out(self):
        # libgmock-dev Depends on libgtest-dev, which provides GTestConfig.cmake.
        self.assertEqual(self.failures_without("libgtest-dev"), [])

    def test_a_found_library_and_a_found_header(self):
        self.expect_only("wordnet-dev", "(find_library(WORDNET_LIBRARY), app/platform/CMakeLists.txt, WORDNET_LIBRARY)")
        if "HNSWLIB_INCLUDE_DIR" not in self.cache:
            return  # a tree configured without the benchmarks never looked for it
        self.expect_only("libhnswlib-dev",
                         "/usr/include/hnswlib/hnswlib.h (find_path(HNSWLIB_INCLUDE_DIR), bench/hnsw/CMakeLists.txt")

    def test_a_file_the_code_quotes(self):
        self.expect_only("unzip", "/usr/bin/unzip (quoted by app/semantic/ModelDownloadManager.h")


FAKE_ROWS = [
    # status, package, priority, essential, provides, pre-depends + depends
    ("ii ", "app-dev", "optional", "", "", ", lib-dev, tool | other-tool, virtual-thing"),
    ("ii ", "lib-dev", "optional", "", "", ", deep-dev (>= 1), libdeep1"),
    ("ii ", "deep-dev", "optional", "", "", "libc6, "),
    ("ii ", "libdeep1", "optional", "", "", ", "),
    ("ii ", "tool", "optional", "", "", ", deep-tool"),
    ("ii ", "deep-tool", "optional", "", "", ", "),
    ("ii ", "other-tool", "optional", "", "", ", "),
    ("ii ", "provider", "optional", "", "virtual-thing (= 1)", ", "),
    ("ii ", "libc6", "required", "", "", ", "),
    ("ii ", "apt", "important", "", "", ", "),
    ("ii ", "coreutils", "optional", "yes", "", ", "),
    ("ii ", "stray-dev", "optional", "", "", ", "),
    ("rc ", "removed-dev", "optional", "", "", ", "),
]
FAKE_DATABASE = "\n".join("\t".join(fields) for fields in FAKE_ROWS) + "\n"


class DependencyRuleTest(unittest.TestCase):
    """Which owners pass, against a made-up database and made-up owners."""

    def failures(self, needs):
        owners = {f"/fake/{row[1]}": {row[1]} for row in FAKE_ROWS}
        owners["/fake/shared"] = {"stray-dev", "app-dev"}
        packages = check_packages.Packages({"app-dev"}, FAKE_DATABASE)
        return check_packages.check(needs, packages, "setup.sh",
                                    owners_of=lambda paths: {p: owners[p] for p in paths if p in owners})

    def need(self, name, indirect=False):
        return check_packages.Need(f"/fake/{name}", f"needed by {name}'s test", indirect=indirect)

    def test_listed_minimal_debian_and_direct_dependencies_pass(self):
        for name in ("app-dev", "libc6", "apt", "coreutils", "lib-dev", "tool", "other-tool", "provider", "shared"):
            with self.subTest(name):
                self.assertEqual(self.failures([self.need(name)]), [])

    def test_deeper_dependencies_pass_unless_they_are_dev_packages(self):
        self.assertEqual(self.failures([self.need("libdeep1"), self.need("deep-tool")]), [])
        failures = self.failures([self.need("deep-dev")])
        self.assertEqual(len(failures), 1, failures)
        self.assertTrue(failures[0].startswith("setup.sh does not install deep-dev, which provides /fake/deep-dev "
                                               "(needed by deep-dev's test)"), failures[0])
        self.assertIn("app-dev -> lib-dev -> deep-dev", failures[0])

    def test_a_dev_package_another_package_file_requires_passes_at_any_depth(self):
        self.assertEqual(self.failures([self.need("deep-dev", indirect=True)]), [])

    def test_unrelated_packages_fail_with_every_file_they_provide(self):
        failures = self.failures([self.need("stray-dev"), check_packages.Need("/fake/stray-dev", "a second use"),
                                  self.need("removed-dev")])
        self.assertEqual(len(failures), 2, failures)
        self.assertEqual(failures[0].splitlines()[0], "setup.sh does not install removed-dev, which provides "
                                                      "/fake/removed-dev (needed by removed-dev's test)")
        self.assertEqual(failures[1].splitlines(), [
            "setup.sh does not install stray-dev, which provides /fake/stray-dev (needed by stray-dev's test)",
            "    and /fake/stray-dev (a second use)"])

    def test_files_outside_every_package_and_unfound_needs_fail(self):
        failures = self.failures([self.need("nowhere"), check_packages.Need(None, "no pkg-config module nope")])
        self.assertEqual(failures, [
            "/fake/nowhere (needed by nowhere's test) belongs to no Debian package, so a fresh machine lacks it",
            "no pkg-config module nope"])


class SourceScanTest(unittest.TestCase):
    """The whole check, run on a made-up source and build tree."""

    def test_unknown_programs_modules_and_searches_that_found_nothing_fail(self):
        with tempfile.TemporaryDirectory() as tree:
            write(f"{tree}/cli/CatalogCommand.cpp", 'PALLIX_COMMAND(\n    "index", "scan", "", run);\n')
            write(f"{tree}/tests/integration/FooTest.cpp", "\n".join([
                'auto a = runProcess({"pallix-no-such-tool", "--flag"});',
                'auto b = run({"index"});  // a pallix command through the test helper',
                'auto c = run({"cp", "-a", from, to});',
                'auto d = run({"pallix-no-such-argument"});',
                'BackgroundProcess e({"sh", "-c", "pallix-no-such-shell-tool --flag"});',
                'if (findInPath("xsel").empty()) {}  // optional',
            ]))
            write(f"{tree}/tests/helper.py", "import json\nimport pallix_no_such_module\n")
            write(f"{tree}/CMakeLists.txt", "\n".join([
                "pkg_check_modules(NOPE REQUIRED IMPORTED_TARGET pallix-no-such-module>=1.0)",
                "# find_library(COMMENTED_LIBRARY commented)",
                "find_library(NOPE_LIBRARY nope)",
                "find_path(XCB_HEADER_DIR xcb/xcb.h)",
                "add_executable(tool_under_test main.cpp)",
                "add_test(NAME tool_test COMMAND tool_under_test)",
            ]))
            write(f"{tree}/build/CMakeCache.txt", "\n".join([
                "// a comment", "NOPE_LIBRARY:FILEPATH=NOPE_LIBRARY-NOTFOUND", "XCB_HEADER_DIR:PATH=/usr/include",
                f"IN_TREE:PATH={tree}/build", ""]))
            write(f"{tree}/scripts/setup.sh", "PACKAGES=(\n  coreutils  # nothing else\n)\n")
            out = io.StringIO()
            with contextlib.redirect_stdout(out):
                status = check_packages.main(["--build-dir", f"{tree}/build", "--source-dir", tree])
            text = out.getvalue()
        self.assertEqual(status, 1, text)
        for expected in [
                "pallix-no-such-tool is started by tests/integration/FooTest.cpp but is not installed here",
                "pallix-no-such-argument is started by tests/integration/FooTest.cpp but is not installed here",
                "pallix-no-such-shell-tool is started by tests/integration/FooTest.cpp but is not installed here",
                "no installed package provides the pkg-config module pallix-no-such-module (CMakeLists.txt)",
                "find_library(NOPE_LIBRARY) in CMakeLists.txt found nothing: add the package",
                "no installed package provides the Python module pallix_no_such_module, imported by tests/helper.py",
                "scripts/setup.sh does not install libxcb1-dev, which provides /usr/include/xcb/xcb.h "
                "(find_path(XCB_HEADER_DIR), CMakeLists.txt, XCB_HEADER_DIR)"]:
            self.assertIn(expected, text)
        for unexpected in ("index", "cp ", "xsel", "COMMENTED", "tool_under_test", "json", "IN_TREE"):
            self.assertNotIn(unexpected, text)
        self.assertEqual(len(text.splitlines()), 7, text)


class ResolutionTest(unittest.TestCase):
    """Paths resolve to their package through links and the merged /usr."""

    def owner(self, path, program=None):
        listing = []
        failures = check_packages.check([check_packages.Need(path, "resolution", program)],
                                        check_packages.Packages(set()), "setup.sh", listing)
        self.assertFalse(any("belongs to no Debian package" in f for f in failures), failures)
        self.assertEqual(len(listing), 1)
        return listing[0].split(":")[0]

    def test_both_sides_of_the_merged_usr(self):
        libc = sorted(glob.glob("/usr/lib/*-linux-gnu/libc.so.6"))
        self.assertTrue(libc)
        self.assertEqual(self.owner(libc[0]), "libc6")
        self.assertEqual(self.owner(libc[0].replace("/usr/lib/", "/lib/")), "libc6")
        self.assertEqual(self.owner("/usr/bin/sh"), "dash")

    def test_links_resolve_to_the_first_owned_step(self):
        # /usr/bin/c++ is an alternatives link that no package owns.
        self.assertIn(self.owner("/usr/bin/c++"), ("g++", "g++-12", "clang", "clang-14"))
        # A -dev package's .so link, not the run-time library it points to.
        self.assertEqual(self.owner(subprocess.run(["pkg-config", "--variable=libdir", "xcb"], stdout=subprocess.PIPE,
                                                   text=True).stdout.strip() + "/libxcb.so"), "libxcb1-dev")

    def test_a_program_outside_debian_is_checked_as_debian_has_it(self):
        with tempfile.TemporaryDirectory() as tmp:
            shim = os.path.join(tmp, "sh")
            write(shim, "#!/bin/sh\n")
            self.assertEqual(self.owner(shim, program="sh"), "dash")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    ARGS, rest = parser.parse_known_args()
    ARGS.source_dir, ARGS.build_dir = os.path.realpath(ARGS.source_dir), os.path.realpath(ARGS.build_dir)
    check_packages = load(ARGS.source_dir)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
