#!/usr/bin/env python3
"""The README's examples as a user runs them.

The Python install line runs as written, with the first python3 on PATH and
no SEARCHDB_LIBRARY, in a copy of this checkout: once with the library just
built in its build/ directory (as `make test` leaves it), where the Python
example then runs twice in a row from the fresh virtual environment, and
once with no build at all. The C excerpt must be lines of examples/hello.c,
which install_test.sh builds and runs twice; the search request section's C
program is built against the library and run twice here, and its Python
example runs in the fresh virtual environment.

    SEARCHDB_BUILT_LIBRARY=build/libsearchdb.so readme_test.py
"""
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# After the README's Python example: what the installed package loaded, and
# a round trip of its own.
PROBE = """
import importlib.metadata, json, os, searchdb, searchdb._library
with searchdb.Database("probe-data") as db:
    db.create_index("x", exist_ok=True).add({"id": 7, "text": "probe"})
    hit = next(db["x"].hits("probe"))
package = os.path.dirname(searchdb.__file__)
print(json.dumps({"package": package, "library": searchdb._library.path(), "hit": hit,
                  "version": [searchdb.__version__, importlib.metadata.version("searchdb")],
                  "typed": os.path.isfile(os.path.join(package, "py.typed"))}))
"""


def readme_blocks(section, language):
    """The code blocks of one language in the README section that starts
    with the heading `## section`."""
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
        text = f.read()
    body = re.search(rf"^## {re.escape(section)}\n(.*?)(?=^## |\Z)", text, re.M | re.S)
    assert body, f"README has no section '{section}'"
    return re.findall(rf"^```{language}\n(.*?)^```$", body.group(1), re.M | re.S)


def copy_checkout(into):
    """The checkout's sources, without its build directories or virtual
    environments."""
    def ignore(directory, names):
        at_root = os.path.samefile(directory, SOURCE)
        return [n for n in names if n in (".git", "__pycache__", ".venv")
                or (at_root and n.startswith("build"))]
    shutil.copytree(SOURCE, into, ignore=ignore)
    return into


class ReadmeTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="searchdb-readme-")
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("SEARCHDB_LIBRARY", "PYTHONPATH", "PYTHONHOME")}

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def run_ok(self, command, cwd, timeout=300):
        result = subprocess.run(command, cwd=cwd, env=self.env, capture_output=True, text=True,
                                timeout=timeout)
        self.assertEqual(result.returncode, 0,
                         f"{command} failed:\n{result.stdout}\n{result.stderr}")
        return result.stdout

    def install(self, checkout):
        """Runs the README's install line in checkout; returns the venv's python."""
        (block,) = readme_blocks("Python", "sh")
        (line,) = [l for l in block.splitlines() if "pip install" in l]
        self.run_ok(["sh", "-c", line], checkout)
        return os.path.join(checkout, ".venv", "bin", "python")

    def probe(self, python, cwd):
        found = json.loads(self.run_ok([python, "-c", PROBE], cwd))
        venv = os.path.join(self.tmp, "checkout", ".venv")
        self.assertTrue(found["package"].startswith(venv + os.sep), found)
        self.assertEqual(os.path.dirname(found["library"]), found["package"], found)
        self.assertEqual(found["hit"], {"id": 7, "text": "probe"})
        self.assertEqual(found["version"][0], found["version"][1])
        self.assertTrue(found["typed"])

    def test_python_install_and_example_after_a_build(self):
        built = os.environ.get("SEARCHDB_BUILT_LIBRARY")
        if not built:
            self.skipTest("SEARCHDB_BUILT_LIBRARY is not set")
        checkout = copy_checkout(os.path.join(self.tmp, "checkout"))
        os.mkdir(os.path.join(checkout, "build"))
        shutil.copy(built, os.path.join(checkout, "build", "libsearchdb.so.1"))
        python = self.install(checkout)

        (example,) = readme_blocks("Python", "python")
        work = os.path.join(self.tmp, "work")
        os.mkdir(work)
        outputs = [self.run_ok([python, "-c", example], work) for _ in range(2)]
        self.assertEqual(outputs[0], outputs[1])
        self.assertIn("The Hobbit", outputs[0])
        (request,) = readme_blocks("Search requests", "python")
        outputs = [self.run_ok([python, "-c", request], work) for _ in range(2)]
        self.assertEqual(outputs[0], outputs[1])
        self.assertEqual(outputs[0].splitlines(), [
            "['chess', 'go'] [{'value': 'games', 'count': 2}]",
            "chess games", "go games", "mutt mail"])
        self.probe(python, work)

    def test_python_install_builds_the_library_when_there_is_none(self):
        checkout = copy_checkout(os.path.join(self.tmp, "checkout"))
        self.probe(self.install(checkout), self.tmp)

    def test_c_request_example_runs(self):
        built = os.environ.get("SEARCHDB_BUILT_LIBRARY")
        if not built:
            self.skipTest("SEARCHDB_BUILT_LIBRARY is not set")
        (program,) = readme_blocks("Search requests", "c")
        source = os.path.join(self.tmp, "request.c")
        with open(source, "w", encoding="utf-8") as f:
            f.write(program)
        binary = os.path.join(self.tmp, "request")
        compiler = os.environ.get("SEARCHDB_C_COMPILER", "cc")
        self.run_ok([compiler, "-std=c11", "-Wall", "-Wextra", "-Wpedantic", "-Werror",
                     "-I", os.path.join(SOURCE, "include"), source, built,
                     "-Wl,-rpath," + os.path.dirname(built), "-o", binary], self.tmp)
        for _ in range(2):  # the second run finds the index the first made
            answer = json.loads(self.run_ok([binary], self.tmp))
            self.assertEqual([hit["id"] for hit in answer["hits"]], ["chess", "go"])
            self.assertEqual(answer["facets"], {"section": [{"value": "games", "count": 2}]})

    def test_c_excerpt_is_taken_from_hello_c(self):
        (excerpt,) = readme_blocks("Example", "c")
        with open(os.path.join(SOURCE, "examples", "hello.c"), encoding="utf-8") as f:
            program = iter(f.read().splitlines())
        # Every line of the excerpt, in order (the excerpt may leave lines out).
        for line in excerpt.splitlines():
            if line.strip() and not any(line == p for p in program):
                self.fail(f"README's hello.c line not found in order in examples/hello.c: {line}")


if __name__ == "__main__":
    unittest.main()
