"""The build backend of the searchdb package: builds its wheel (and sdist)
with nothing but the standard library, so that `pip install bindings/python`
works offline, without setuptools or wheel, from a fresh virtual
environment.

The wheel carries a copy of the shared library inside the package, where the
installed package looks first. The library is taken from, in this order:
  - the config setting "library" (pip install -C library=PATH ...) or the
    environment variable SEARCHDB_LIBRARY: the file named there;
  - the checkout this package lives in: its build/ directory as `make test`
    leaves it, unless that build is instrumented with the sanitizers;
  - else a build of the checkout with CMake in a temporary directory.
"""
import ast
import base64
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile

PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CHECKOUT = os.path.dirname(os.path.dirname(PACKAGE_DIR))
PACKAGE = "searchdb"
# The file name the loader looks for: the library's SONAME.
LIBRARY_NAME = "libsearchdb.1.dylib" if sys.platform == "darwin" else "libsearchdb.so.1"
# What goes into the package directory of the wheel besides the library.
PACKAGE_FILES = ("__init__.py", "_library.py", "py.typed")


class BuildError(Exception):
    """The library to bundle could not be found or built."""


# ---- Metadata -------------------------------------------------------------

def _project():
    """The [project] table of pyproject.toml, with the version filled in from
    the package, where it is kept once."""
    with open(os.path.join(PACKAGE_DIR, "pyproject.toml"), encoding="utf-8") as f:
        text = f.read()
    try:
        import tomllib
        project = tomllib.loads(text)["project"]
    except ImportError:  # before Python 3.11
        project = _simple_toml_table(text, "project")
    with open(os.path.join(PACKAGE_DIR, PACKAGE, "__init__.py"), encoding="utf-8") as f:
        project["version"] = re.search(r'^__version__ = "([^"]+)"', f.read(), re.M).group(1)
    return project


def _simple_toml_table(text, table):
    """The keys of one table whose values are strings or lists of strings,
    which is all pyproject.toml holds there: enough where tomllib is missing."""
    values, current, name, pending = {}, None, None, ""
    for line in text.splitlines():
        line = line.strip()
        if pending:
            pending += line
        elif line.startswith("["):
            current = line.strip("[]").strip()
            continue
        elif current == table and "=" in line and not line.startswith("#"):
            name, _, pending = (part.strip() for part in line.partition("="))
        else:
            continue
        if not pending.startswith("[") or pending.endswith("]"):
            values[name] = ast.literal_eval(pending)
            pending = ""
    return values


def _metadata(project):
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project['description']}",
        f"Requires-Python: {project['requires-python']}",
    ]
    lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    return "\n".join(lines) + "\n"


def _tag():
    # Pure Python over ctypes, but holding a native library: any Python 3,
    # this platform only.
    platform = re.sub(r"[^A-Za-z0-9]", "_", sysconfig.get_platform())
    return f"py3-none-{platform}"


def _dist_info(project):
    return f"{project['name']}-{project['version']}.dist-info"


def _wheel_file():
    return (f"Wheel-Version: 1.0\nGenerator: searchdb_backend\n"
            f"Root-Is-Purelib: false\nTag: {_tag()}\n")


# ---- The library ----------------------------------------------------------

def _sanitized(build_dir):
    cache = os.path.join(build_dir, "CMakeCache.txt")
    try:
        with open(cache, encoding="utf-8", errors="replace") as f:
            return re.search(r"^SEARCHDB_SANITIZE:BOOL=(ON|1|TRUE|YES)$", f.read(), re.M | re.I)
    except OSError:
        return False


def _in_checkout():
    return (os.path.isfile(os.path.join(CHECKOUT, "CMakeLists.txt"))
            and os.path.isfile(os.path.join(CHECKOUT, "include", "searchdb.h")))


def _build_with_cmake(scratch):
    """Builds the library of the checkout in scratch; returns its path."""
    build = os.path.join(scratch, "cmake-build")
    commands = [
        ["cmake", "-S", CHECKOUT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
         "-DSEARCHDB_TESTS=OFF", "-DSEARCHDB_BENCH=OFF", "-DSEARCHDB_SANITIZE=OFF"],
        ["cmake", "--build", build, "--target", "searchdb", f"-j{os.cpu_count() or 2}"],
    ]
    for command in commands:
        print("searchdb_backend:", " ".join(command), file=sys.stderr, flush=True)
        try:
            # Its output goes to stderr, which pip shows when the build fails.
            subprocess.run(command, check=True, stdout=sys.stderr)
        except (OSError, subprocess.CalledProcessError) as exc:
            raise BuildError(f"building the library with CMake failed ({exc}); build it "
                             "with `make test` in the checkout, or name a built library "
                             "with SEARCHDB_LIBRARY") from exc
    return os.path.join(build, LIBRARY_NAME)


def _find_library(config_settings, scratch):
    explicit = (config_settings or {}).get("library") or os.environ.get("SEARCHDB_LIBRARY")
    if explicit:
        if not os.path.isfile(explicit):
            raise BuildError(f"the library {explicit!r} named for the build does not exist")
        return explicit
    if not _in_checkout():
        raise BuildError("this package is not inside a searchdb checkout, so there is no "
                         "library to bundle: name one with SEARCHDB_LIBRARY=PATH or "
                         "-C library=PATH")
    build = os.path.join(CHECKOUT, "build")
    built = os.path.join(build, LIBRARY_NAME)
    if os.path.isfile(built) and not _sanitized(build):
        return built
    return _build_with_cmake(scratch)


# ---- Archives -------------------------------------------------------------

class _Wheel:
    """A zip archive that keeps the RECORD of what it holds."""

    def __init__(self, path, dist_info):
        self.zip = zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED)
        self.dist_info = dist_info
        self.record = []

    def add(self, name, data, mode=0o644):
        info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
        info.external_attr = (0o100000 | mode) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self.zip.writestr(info, data)
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        self.record.append(f"{name},sha256={digest},{len(data)}")

    def close(self):
        record = f"{self.dist_info}/RECORD"
        self.record.append(f"{record},,")
        self.zip.writestr(zipfile.ZipInfo(record, date_time=(1980, 1, 1, 0, 0, 0)),
                          "\n".join(self.record) + "\n")
        self.zip.close()


def _read(path):
    with open(path, "rb") as f:
        return f.read()


# ---- PEP 517 hooks --------------------------------------------------------

def get_requires_for_build_wheel(config_settings=None):
    """Nothing beyond the standard library."""
    return []


def get_requires_for_build_sdist(config_settings=None):
    """Nothing beyond the standard library."""
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    """Writes the .dist-info directory without looking for the library."""
    project = _project()
    dist_info = os.path.join(metadata_directory, _dist_info(project))
    os.makedirs(dist_info, exist_ok=True)
    with open(os.path.join(dist_info, "METADATA"), "w", encoding="utf-8") as f:
        f.write(_metadata(project))
    with open(os.path.join(dist_info, "WHEEL"), "w", encoding="utf-8") as f:
        f.write(_wheel_file())
    return os.path.basename(dist_info)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    """Builds the wheel, with the library inside the package."""
    project = _project()
    dist_info = _dist_info(project)
    name = f"{project['name']}-{project['version']}-{_tag()}.whl"
    scratch = tempfile.mkdtemp(prefix="searchdb-wheel-")
    try:
        library = _find_library(config_settings, scratch)
        print(f"searchdb_backend: bundling {os.path.realpath(library)}", file=sys.stderr)
        path = os.path.join(wheel_directory, name)
        wheel = _Wheel(path, dist_info)
        try:
            for file in PACKAGE_FILES:
                wheel.add(f"{PACKAGE}/{file}", _read(os.path.join(PACKAGE_DIR, PACKAGE, file)))
            wheel.add(f"{PACKAGE}/{LIBRARY_NAME}", _read(library), mode=0o755)
            wheel.add(f"{dist_info}/METADATA", _metadata(project).encode())
            wheel.add(f"{dist_info}/WHEEL", _wheel_file().encode())
        finally:
            wheel.close()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return name


def build_sdist(sdist_directory, config_settings=None):
    """The package's sources without the library; a wheel built from them
    needs SEARCHDB_LIBRARY (or -C library=PATH) to name one."""
    project = _project()
    base = f"{project['name']}-{project['version']}"
    name = f"{base}.tar.gz"
    files = ["pyproject.toml", "build_backend/searchdb_backend.py"]
    files += [f"{PACKAGE}/{file}" for file in PACKAGE_FILES]
    path = os.path.join(sdist_directory, name)
    with tarfile.open(path, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for file in files:
            tar.add(os.path.join(PACKAGE_DIR, file), f"{base}/{file}")
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata(project).encode()
        info.size, info.mode = len(data), 0o644
        tar.addfile(info, io.BytesIO(data))
    return name
