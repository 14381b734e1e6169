#!/usr/bin/env python3
"""registry-admin user add|passwd|remove|list as a process on users files:
what each edit changes (exactly one thing; every other byte stays), what
each refusal leaves (the file as it was), permissions, and the password
typed on a pseudo-terminal. ADMIN_DIR and ADMIN_RUNNER as for
admin_process_test.py, whose helpers this reuses."""
import ctypes
import ctypes.util
import os
import select
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest

try:
    import termios
except ImportError:  # not on Windows
    termios = None

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from admin_process_test import PROGRAM, RUNNER, WINDOWS, AdminCase, native  # noqa: E402

OTHER = "$2y$04$CCCCCCCCCCCCCCCCCCCCC.7uG0VCzI2bS7j6ymqJi9CdcdxiRTWNy"  # the password ""


def _libc_crypt():
    """crypt() of the C library on this host (the test runs natively even
    for the Windows build), or None."""
    name = ctypes.util.find_library("crypt")
    if os.name == "nt" or not name:
        return None
    lib = ctypes.CDLL(name)
    lib.crypt.restype = ctypes.c_char_p
    lib.crypt.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    return lib.crypt


CRYPT = _libc_crypt()

# Every kind of line an edit must leave alone, CRLF and a blank-only line
# among them; carol has two lines (the first counts), the last line has no
# line end.
FIXTURE = (b"# registry users\n"
           b"\n"
           b"alice:" + OTHER.encode() + b"\n"
           b"broken line without colon\n"
           b"old:$apr1$Qx5C2Yb8$8dgAX6i7mJk2sV1J5x6Xo/\n"
           b"carol:" + OTHER.encode() + b"\r\n"
           b"  \t\n"
           b"carol:" + OTHER.replace("Ny", "Nz").encode() + b"\n"
           b"bob:" + OTHER.encode())


class UsersCase(AdminCase):
    def setUp(self):
        super().setUp()
        self.users = os.path.join(self.tmp, "users")

    def user(self, *args, password=None, file=True):
        """(status, stdout, stderr) of registry-admin user ARGS --file USERS,
        with password (str) as standard input and --password-stdin."""
        argv = RUNNER + [PROGRAM, "user", *args]
        if file:
            argv += ["--file", native(self.users)]
        if password is not None:
            argv += ["--password-stdin"]
        feed = {"stdin": subprocess.DEVNULL} if password is None else {"input": password.encode()}
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            p = subprocess.run(argv, cwd=self.cwd, env=self.env(), stdout=out, stderr=err,
                               timeout=120, **feed)
            out.seek(0)
            err.seek(0)
            return p.returncode, out.read().decode(), err.read().decode()

    def put(self, data):
        with open(self.users, "wb") as f:
            f.write(data)

    def content(self):
        with open(self.users, "rb") as f:
            return f.read()

    def assertHashOf(self, password, hash_):
        self.assertRegex(hash_, rb"\A\$2y\$04\$[./A-Za-z0-9]{53}\Z")
        if CRYPT:
            self.assertEqual(CRYPT(password.encode(), hash_), hash_)


class Edits(UsersCase):
    def test_each_edit_changes_one_thing_and_keeps_every_other_byte(self):
        self.put(FIXTURE)
        rc, out, err = self.user("add", "dave", "--cost", "4", password="dave's secret\n")
        self.assertEqual((rc, out), (0, "user dave added\n"), err)
        after = self.content()
        # The last line gets its line end, then the new line follows.
        self.assertTrue(after.startswith(FIXTURE + b"\ndave:"), after)
        self.assertTrue(after.endswith(b"\n"))
        self.assertHashOf("dave's secret", after[len(FIXTURE) + 6:-1])
        # The broken lines are named, and stay.
        self.assertIn(f"{native(self.users)}: line 4: no ':' between user and hash; the registry "
                      "skips it", err)
        self.assertIn("line 5: unsupported hash form MD5 ($apr1$)", err)

        before = after
        rc, out, err = self.user("passwd", "carol", "--cost", "4", password="new one\r\n")
        self.assertEqual((rc, out), (0, "password of carol changed\n"), err)
        after = self.content()
        at = before.index(b"carol:") + 6
        self.assertEqual(after[:at], before[:at])
        self.assertEqual(after[at + 60:], before[at + 60:])  # her CRLF and the second line too
        self.assertHashOf("new one", after[at:at + 60])

        before = after
        rc, out, err = self.user("remove", "carol")
        self.assertEqual((rc, out), (0, "user carol removed\n"), err)
        lines = before.splitlines(keepends=True)
        self.assertEqual(self.content(),
                         b"".join(l for l in lines if not l.startswith(b"carol:")))

        rc, out, _ = self.user("list")
        self.assertEqual((rc, out), (0, "alice\nbob\ndave\n"))

    def test_list_names_each_user_once_in_file_order(self):
        self.put(FIXTURE)
        rc, out, err = self.user("list")
        self.assertEqual((rc, out), (0, "alice\ncarol\nbob\n"))
        self.assertEqual(err.count("the registry skips it"), 2)

    def test_a_crlf_file_gets_a_crlf_line_and_a_new_file_is_made(self):
        self.put(b"alice:" + OTHER.encode() + b"\r\n")
        rc, _, err = self.user("add", "bob", "--cost", "4", password="pw")
        self.assertEqual(rc, 0, err)
        self.assertRegex(self.content(), rb"\Aalice:\S+\r\nbob:\$2y\$04\$\S{53}\r\n\Z")
        os.remove(self.users)
        rc, _, err = self.user("add", "first", "--cost", "4", password="pw\n")
        self.assertEqual(rc, 0, err)
        self.assertRegex(self.content(), rb"\Afirst:\$2y\$04\$\S{53}\n\Z")
        self.assertFalse(os.path.exists(self.users + ".tmp"))

    def test_the_default_cost_is_10(self):
        rc, _, err = self.user("add", "slow", password="pw")
        self.assertEqual(rc, 0, err)
        self.assertTrue(self.content().startswith(b"slow:$2y$10$"))

    @unittest.skipIf(WINDOWS, "POSIX permission bits")
    def test_permissions_kept_and_a_new_file_is_0640(self):
        rc, _, err = self.user("add", "a", "--cost", "4", password="pw")
        self.assertEqual(rc, 0, err)
        self.assertEqual(stat.S_IMODE(os.stat(self.users).st_mode), 0o640)
        os.chmod(self.users, 0o604)
        rc, _, err = self.user("passwd", "a", "--cost", "4", password="pw2")
        self.assertEqual(rc, 0, err)
        self.assertEqual(stat.S_IMODE(os.stat(self.users).st_mode), 0o604)


class Refusals(UsersCase):
    def test_a_refused_edit_leaves_the_file_as_it_was(self):
        cases = [
            # args, password (None: none piped), a piece of stderr
            (("add", "alice"), "pw", 'user "alice" exists already'),
            (("add", "carol"), "pw", 'user "carol" exists already'),
            (("passwd", "zed"), "pw", 'no user "zed"'),
            (("remove", "zed"), None, 'no user "zed"'),
            (("remove", "old"), None, 'no user "old"'),  # a skipped line is no user
            (("add", "a:b"), "pw", "a user name cannot hold ':'"),
            (("add", "#x"), "pw", "a user name cannot start with '#'"),
            (("add", " x"), "pw", "a user name cannot start or end with blanks"),
            (("add", "anonymous"), "pw", "reserved user name"),
            (("add", "*"), "pw", "reserved user name"),
            (("add", "n" * 128), "pw", "user name longer than 127 bytes"),
            (("add", "dave"), "\n", "an empty password is refused"),
            (("add", "dave"), "", "no password on standard input"),
            (("add", "dave"), None, "standard input is no terminal: give --password-stdin"),
            (("passwd", "bob"), None, "standard input is no terminal"),
        ]
        self.put(FIXTURE)
        for args, password, text in cases:
            with self.subTest(args=args, password=password):
                cost = ("--cost", "4") if args[0] != "remove" else ()
                rc, out, err = self.user(*args, *cost, password=password)
                self.assertEqual((rc, out), (1, ""), err)
                self.assertIn(text, err)
                self.assertEqual(self.content(), FIXTURE)
                self.assertFalse(os.path.exists(self.users + ".tmp"))

    def test_an_edit_under_way_holds_the_file(self):
        self.put(FIXTURE)
        with open(self.users + ".tmp", "wb") as f:
            f.write(b"half-written")
        rc, _, err = self.user("add", "dave", "--cost", "4", password="pw")
        self.assertEqual(rc, 1)
        self.assertIn(f"{native(self.users)}.tmp: exists: another edit is under way", err)
        self.assertEqual(self.content(), FIXTURE)
        with open(self.users + ".tmp", "rb") as f:
            self.assertEqual(f.read(), b"half-written")

    def test_a_missing_file_for_all_but_add(self):
        for args in (("list",), ("remove", "a"), ("passwd", "a")):
            with self.subTest(args=args):
                rc, _, err = self.user(*args)
                self.assertEqual(rc, 1)
                self.assertIn(f"{native(self.users)}: no such users file", err)
                self.assertFalse(os.path.exists(self.users))

    def test_command_lines(self):
        cases = [
            (("user",), False, "user needs an action: add, passwd, remove or list"),
            (("user", "frob"), False, 'unknown action "frob" of user'),
            (("user", "add"), True, "user add needs a NAME"),
            (("user", "list", "x"), True, 'unexpected argument "x"'),
            (("user", "list", "--cost", "5"), True, "user list does not take --cost"),
            (("user", "remove", "a", "--password-stdin"), True,
             "user remove does not take --password-stdin"),
            (("user", "add", "a", "--cost", "3"), True,
             '--cost needs a whole number from 4 to 31, not "3"'),
            (("user", "add", "a", "--cost", "32"), True, "--cost needs a whole number from 4"),
            (("user", "list", "--root", "x"), True, "user list does not take --root"),
            (("user", "add", "a", "p4ssw0rd"), True, 'unexpected argument "p4ssw0rd"'),
        ]
        for args, file, text in cases:
            with self.subTest(args=args):
                rc, out, err = self.user(*args[1:], file=file)
                self.assertEqual((rc, out), (2, ""), err)
                self.assertIn(text, err)
                self.assertIn("try: registry-admin user --help", err)
        rc, _, err = self.user("list", file=False)
        self.assertEqual(rc, 2)
        self.assertIn("no users file: give --file PATH", err)
        rc, out, _ = self.user("--help", file=False)
        self.assertEqual(rc, 0)
        self.assertIn("usage: registry-admin user add|passwd|remove NAME | list", out)
        self.assertNotIn("--root", out)


@unittest.skipIf(WINDOWS or not termios or not hasattr(os, "openpty"),
                 "pseudo-terminals are POSIX")
class Terminal(UsersCase):
    """The password typed at a terminal: asked twice, never shown."""

    def typed(self, *answers, args=("add", "erin"), then=None):
        """Runs the command on a pseudo-terminal, typing each answer when a
        prompt shows; then(p, master), when given, runs instead once the
        answers run out and a prompt waits. (status, terminal text)."""
        master, slave = os.openpty()
        p = subprocess.Popen([PROGRAM, "user", *args, "--cost", "4", "--file", self.users],
                             cwd=self.cwd, env=self.env(), stdin=slave, stdout=slave,
                             stderr=slave)
        os.close(slave)
        self.addCleanup(os.close, master)
        self.addCleanup(lambda: p.poll() is None and p.kill())
        text = b""
        pending = list(answers)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if select.select([master], [], [], 0.2)[0]:
                try:
                    chunk = os.read(master, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                text += chunk
            if text.rstrip().endswith(b":"):
                if pending:
                    os.write(master, pending.pop(0) + b"\n")
                    text += b"<typed>"
                elif then:
                    then(p, master)
                    then = None
        return p.wait(timeout=60), text.decode(errors="replace")

    def test_asked_twice_without_echo(self):
        rc, text = self.typed(b"s3cret word", b"s3cret word")
        self.assertEqual(rc, 0, text)
        self.assertIn("New password for erin:", text)
        self.assertIn("Again:", text)
        self.assertNotIn("s3cret", text)
        self.assertIn("user erin added", text)
        self.assertHashOf("s3cret word", self.content()[5:-1])

    def test_two_different_answers_change_nothing(self):
        self.put(FIXTURE)
        rc, text = self.typed(b"one", b"two", args=("passwd", "bob"))
        self.assertEqual(rc, 1, text)
        self.assertIn("the two passwords differ", text)
        self.assertEqual(self.content(), FIXTURE)


    def test_ctrl_c_at_the_prompt_gives_the_echo_back(self):
        seen = {}

        def interrupt(p, master):
            seen["muted"] = not termios.tcgetattr(master)[3] & termios.ECHO
            p.send_signal(signal.SIGINT)
            p.wait(timeout=60)
            seen["echo"] = bool(termios.tcgetattr(master)[3] & termios.ECHO)

        rc, text = self.typed(b"first", then=interrupt)
        self.assertEqual(rc, -signal.SIGINT, text)
        self.assertEqual(seen, {"muted": True, "echo": True})
        self.assertFalse(os.path.exists(self.users))


if __name__ == "__main__":
    unittest.main(verbosity=2)
