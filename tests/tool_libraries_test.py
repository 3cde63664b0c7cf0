#!/usr/bin/env python3
"""The tool loads libmicrohttpd only for serve and libedit only for the shell
on a terminal: no other command's process maps either, directly or through
another library. Where one cannot be loaded, the command that needs it stops
with one line naming it and the loader's reason, and every other command
runs as before.

    SEARCHDB_CLI=build/tools/searchdb SEARCHDB_LIBRARY=build/libsearchdb.so \\
    SEARCHDB_MICROHTTPD_SONAME=libmicrohttpd.so.12 SEARCHDB_LIBEDIT_SONAME=libedit.so.2 \\
        tool_libraries_test.py
"""
import os
import pty
import select
import shutil
import subprocess
import tempfile
import time
import unittest

CLI = os.path.abspath(os.environ.get("SEARCHDB_CLI", "searchdb"))
LIBRARY = os.environ["SEARCHDB_LIBRARY"]
MICROHTTPD = os.environ["SEARCHDB_MICROHTTPD_SONAME"]
LIBEDIT = os.environ["SEARCHDB_LIBEDIT_SONAME"]


class ToolLibrariesTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="searchdb-libraries-")
        self.addCleanup(shutil.rmtree, self.tmp)
        self.dir = os.path.join(self.tmp, "store")
        self.run_cli("create", "books")
        self.run_cli("add", "books", stdin='{"id":"a","title":"network monitoring"}')
        # Under the two sonames, where the loader looks first: a file that is
        # no library, and a library without the functions wanted.
        self.broken = os.path.join(self.tmp, "broken")
        os.mkdir(self.broken)
        with open(os.path.join(self.broken, MICROHTTPD), "w") as f:
            f.write("not a library\n")
        shutil.copy(LIBRARY, os.path.join(self.broken, LIBEDIT))

    def run_cli(self, *args, stdin="", env=None, status=0):
        result = subprocess.run([CLI, "--dir", self.dir, *args], input=stdin.encode(),
                                capture_output=True, env={**os.environ, **(env or {})},
                                timeout=60)
        self.assertEqual(result.returncode, status, (args, result.stderr))
        return result.stdout.decode(), result.stderr.decode()

    def loaded(self, stderr):
        """The sonames of the two that LD_DEBUG=files shows being loaded."""
        return {name for name in (MICROHTTPD, LIBEDIT) if f"file={name} " in stderr}

    def test_only_the_commands_that_need_them_load_them(self):
        debug = {"LD_DEBUG": "files"}
        for args, stdin in [(["--version"], ""), (["search", "books", "network"], ""),
                            (["add", "books"], '{"id":"b"}'), (["shell"], "list\nget books a\n")]:
            _, err = self.run_cli(*args, stdin=stdin, env=debug)
            self.assertEqual(self.loaded(err), set(), args)
        # What LD_DEBUG shows for a load that is tried.
        _, err = self.run_cli("serve", "--port", "0", env={**debug, "LD_LIBRARY_PATH": self.broken},
                              status=1)
        self.assertEqual(self.loaded(err), {MICROHTTPD})

    def test_a_library_that_cannot_be_loaded_stops_only_its_command(self):
        broken = {"LD_LIBRARY_PATH": self.broken}
        _, err = self.run_cli("serve", "--port", "0", env=broken, status=1)
        self.assertRegex(err, rf"^searchdb: serve: cannot load {MICROHTTPD}: "
                              rf"{self.broken}/{MICROHTTPD}: [^\n]+\n$")
        out = self.on_terminal("shell", env=broken, status=1)
        self.assertRegex(out, rf"^searchdb: shell: cannot use {LIBEDIT}: "
                              rf"{self.broken}/{LIBEDIT}: undefined symbol: \w+\r\n$")
        out, _ = self.run_cli("search", "books", "network", "--json", env=broken)
        self.assertIn('"id":"a"', out)
        out, _ = self.run_cli("shell", stdin="get books a\n", env=broken)
        self.assertIn('"id":"a"', out)

    def on_terminal(self, *args, env, status):
        """What the tool writes on a pseudo-terminal, which it reads from."""
        master, slave = pty.openpty()
        proc = subprocess.Popen([CLI, "--dir", self.dir, *args], stdin=slave, stdout=slave,
                                stderr=slave, env={**os.environ, "TERM": "xterm", **env})
        os.close(slave)
        out = b""
        deadline = time.monotonic() + 30
        while select.select([master], [], [], max(0, deadline - time.monotonic()))[0]:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            out += chunk
        os.close(master)
        if proc.poll() is None:  # waiting at its prompt
            proc.kill()
        self.assertEqual(proc.wait(), status, out)
        return out.decode("utf-8", "replace")


if __name__ == "__main__":
    unittest.main()
