"""End-to-end tests: the built executable, run as a user would run it.

Each test runs the program in a fresh temporary directory and checks its
exit status, the exact bytes of its standard output and the files it left.
Expected images are assembled here from slices of the source, never by the
program's own code.

VELMORIX_EXE names the executable; VELMORIX_LAUNCHER, if set, is the command
that runs it (e.g. "wine" for the Windows build). Cases that cannot exist on
the platform under test are skipped with the reason.

CI runs as root, and permission bits do not stop root: the fault cases use
mechanisms that do (a small tmpfs for a full disk, chattr +i, a read-only
bind mount, RLIMIT_FSIZE, private device nodes).
"""

import fcntl
import os
import random
import re
import shlex
import shutil
import signal
import stat
import subprocess
import tempfile
import threading
import unittest

EXE = os.environ["VELMORIX_EXE"]
LAUNCHER = shlex.split(os.environ.get("VELMORIX_LAUNCHER", ""))
WINDOWS = EXE.lower().endswith(".exe")
IS_ROOT = os.geteuid() == 0

SOURCE_SIZE = 786432
TARGET_SIZE = 851968
BLOCK = 65536

USAGE = (b"Velmorix converts a raw image of 786,432 bytes into the "
         b"851,968-byte layout.\r\n"
         b"\r\n"
         b"Usage: Velmorix.exe inFile [outFile]\r\n")
BAD_SIZE = b"Exception: ERROR: Bad source file size.\r\n"
# A stale temporary that a killed run can leave beside its output.
TEMPORARY = re.compile(r"^\.Velmorix-[a-z0-9]{8}\.tmp$")

# The system's words for the reasons the tests provoke.
if WINDOWS:
    # Wine's wording; Windows itself says "The system cannot find the path
    # specified".
    NO_SUCH_DIRECTORY = "Path not found"
else:
    NO_SUCH_DIRECTORY = "No such file or directory"


def failure(text):
    return b"Exception: ERROR: " + text.encode() + b"\r\n"


def source_image(seed):
    return random.Random(seed).randbytes(SOURCE_SIZE)


def expected_target(source):
    """The target layout, assembled from slices of the source."""
    assert len(source) == SOURCE_SIZE
    return (source[0x00000:0x08000] + bytes(BLOCK) + source[0x08000:0x90000]
            + source[0xA0000:0xC0000] + source[0x90000:0xA0000])


def needs_linux(reason):
    return unittest.skipIf(WINDOWS, f"not on Windows: {reason}")


def needs_root(reason):
    return unittest.skipUnless(IS_ROOT, f"needs root: {reason}")


class E2ETestCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="velmorix-e2e-")
        self.addCleanup(self._remove_dir)

    def _remove_dir(self):
        subprocess.run(["chattr", "-R", "-i", self.dir],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as out:
            out.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def listing(self, directory=None):
        return sorted(os.listdir(directory or self.dir))

    def command(self, *args):
        return [*LAUNCHER, EXE, *args]

    def run_program(self, *args, prefix=(), **options):
        options.setdefault("stdout", subprocess.PIPE)
        result = subprocess.run([*prefix, *self.command(*args)], cwd=self.dir,
                                stdin=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, timeout=120,
                                **options)
        return result

    def assertRun(self, result, status, stdout):
        self.assertEqual(
            (result.returncode, result.stdout), (status, stdout),
            f"stderr: {result.stderr.decode(errors='replace')}")


class UsageTest(E2ETestCase):
    def test_no_argument_prints_usage_and_touches_nothing(self):
        self.write("in.bin", source_image(1))
        self.assertRun(self.run_program(), 0, USAGE)
        self.assertEqual(self.listing(), ["in.bin"])

    @needs_linux("mknod makes the full device")
    @needs_root("mknod")
    def test_usage_on_a_full_standard_output_fails(self):
        full = self.path("full")
        os.mknod(full, 0o666 | stat.S_IFCHR, os.makedev(1, 7))
        with open(full, "wb") as out:
            result = self.run_program(stdout=out)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(self.listing(), ["full"])


class ConversionTest(E2ETestCase):
    def test_default_output_name(self):
        source = source_image(2)
        self.write("dump.bin", source)
        self.assertRun(self.run_program("dump.bin"), 0, b"")
        self.assertEqual(self.listing(), ["dump.bin", "dump_raw.bin"])
        self.assertEqual(self.read("dump_raw.bin"), expected_target(source))
        self.assertEqual(self.read("dump.bin"), source)

    def test_given_output_name_and_extra_arguments_ignored(self):
        source = source_image(3)
        self.write("in.bin", source)
        self.assertRun(
            self.run_program("in.bin", "out.img", "extra", "in.bin"), 0, b"")
        self.assertEqual(self.listing(), ["in.bin", "out.img"])
        self.assertEqual(self.read("out.img"), expected_target(source))
        self.assertEqual(self.read("in.bin"), source)

    def test_absolute_names_in_other_directories(self):
        source = source_image(4)
        os.mkdir(self.path("a.d"))
        os.mkdir(self.path("b"))
        self.write("a.d/dump", source)
        self.assertRun(self.run_program(self.path("a.d/dump"),
                                        self.path("b/x.bin")), 0, b"")
        self.assertEqual(self.read("b/x.bin"), expected_target(source))
        # The default name stays in the source's directory.
        self.assertRun(self.run_program(self.path("a.d/dump")), 0, b"")
        self.assertEqual(self.listing(self.path("a.d")),
                         ["dump", "dump_raw.bin"])
        self.assertEqual(self.read("a.d/dump_raw.bin"), expected_target(source))

    def test_existing_output_is_replaced(self):
        source = source_image(5)
        self.write("in.bin", source)
        for old in (b"", b"x" * 100, os.urandom(2 * TARGET_SIZE)):
            with self.subTest(old_size=len(old)):
                self.write("out.bin", old)
                self.assertRun(self.run_program("in.bin", "out.bin"), 0, b"")
                self.assertEqual(self.read("out.bin"), expected_target(source))
                self.assertEqual(self.listing(), ["in.bin", "out.bin"])

    def test_in_place_conversion(self):
        source = source_image(6)
        self.write("img", source)
        self.assertRun(self.run_program("img", "img"), 0, b"")
        self.assertEqual(self.listing(), ["img"])
        self.assertEqual(self.read("img"), expected_target(source))


class BadSourceTest(E2ETestCase):
    OLD_OUTPUT = b"old output, must survive"

    def assertRefused(self, source_name, timeout=None):
        self.write("in_raw.bin", self.OLD_OUTPUT)
        before = self.listing()
        self.assertRun(self.run_program(source_name), 1, BAD_SIZE)
        self.assertEqual(self.listing(), before)
        self.assertEqual(self.read("in_raw.bin"), self.OLD_OUTPUT)

    def test_wrong_sizes(self):
        for size in (0, 1, SOURCE_SIZE - 1, SOURCE_SIZE + 1, TARGET_SIZE):
            with self.subTest(size=size):
                self.write("in.bin", os.urandom(size))
                self.assertRefused("in.bin")

    def test_missing_source(self):
        self.assertRefused("in.bin")

    def test_directory_as_source(self):
        os.mkdir(self.path("in.bin"))
        self.assertRefused("in.bin")

    @needs_linux("no FIFOs")
    def test_fifo_as_source_never_blocks(self):
        os.mkfifo(self.path("in.bin"))
        self.assertRefused("in.bin")

    @needs_linux("mknod makes the device")
    @needs_root("mknod")
    def test_device_as_source(self):
        # A private zero device: reads never end, and seeking says 0.
        os.mknod(self.path("in.bin"), 0o666 | stat.S_IFCHR, os.makedev(1, 5))
        self.assertRefused("in.bin")

    @needs_linux("advisory locks are the POSIX rendering of sharing")
    def test_source_being_written_by_a_locking_writer(self):
        self.write("in.bin", source_image(7))
        with open(self.path("in.bin"), "r+b") as writer:
            fcntl.flock(writer, fcntl.LOCK_EX)
            self.assertRefused("in.bin")


class OutputKindsTest(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.source = source_image(8)
        self.write("in.bin", self.source)

    def test_directory_as_output(self):
        os.mkdir(self.path("out"))
        self.assertRun(self.run_program("in.bin", "out"), 1,
                       failure("Output file is a directory."))
        self.assertEqual(self.listing(), ["in.bin", "out"])
        self.assertEqual(self.listing(self.path("out")), [])

    def test_output_directory_missing(self):
        self.assertRun(
            self.run_program("in.bin", "no/such/dir/out.bin"), 1,
            failure(f"Cannot create output file ({NO_SUCH_DIRECTORY})."))
        self.assertEqual(self.listing(), ["in.bin"])

    @needs_linux("symbolic links need privileges there")
    def test_symbolic_link_is_replaced_not_followed(self):
        self.write("target.bin", b"link target")
        os.symlink("target.bin", self.path("out.bin"))
        self.assertRun(self.run_program("in.bin", "out.bin"), 0, b"")
        self.assertFalse(os.path.islink(self.path("out.bin")))
        self.assertEqual(self.read("out.bin"), expected_target(self.source))
        self.assertEqual(self.read("target.bin"), b"link target")
        self.assertEqual(self.listing(), ["in.bin", "out.bin", "target.bin"])

    def test_hard_link_is_replaced_and_the_other_name_keeps_the_old(self):
        self.write("out.bin", b"old")
        os.link(self.path("out.bin"), self.path("other.bin"))
        self.assertRun(self.run_program("in.bin", "out.bin"), 0, b"")
        self.assertEqual(self.read("out.bin"), expected_target(self.source))
        self.assertEqual(self.read("other.bin"), b"old")
        self.assertEqual(self.listing(), ["in.bin", "other.bin", "out.bin"])

    @needs_linux("permission bits and umask")
    def test_new_output_gets_the_umask_permissions(self):
        for mask, mode in ((0o022, 0o644), (0o077, 0o600), (0o002, 0o664)):
            with self.subTest(umask=oct(mask)):
                self.write("out.bin", b"old")
                os.chmod(self.path("out.bin"), 0o600)
                self.assertRun(
                    self.run_program("in.bin", "out.bin",
                                     preexec_fn=lambda m=mask: os.umask(m)),
                    0, b"")
                self.assertEqual(
                    stat.S_IMODE(os.stat(self.path("out.bin")).st_mode), mode)
                self.assertEqual(self.listing(), ["in.bin", "out.bin"])

    @needs_linux("mknod makes the device")
    @needs_root("mknod")
    def test_device_output_is_written_into_not_replaced(self):
        # Private nodes: never aim at the machine's own /dev/null or /dev/full.
        os.mknod(self.path("null"), 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        os.mknod(self.path("full"), 0o666 | stat.S_IFCHR, os.makedev(1, 7))
        self.assertRun(self.run_program("in.bin", "null"), 0, b"")
        self.assertRun(self.run_program("in.bin", "full"), 1,
                       failure("Cannot write output file "
                               "(No space left on device)."))
        for node in ("null", "full"):
            self.assertTrue(stat.S_ISCHR(os.lstat(self.path(node)).st_mode))
        self.assertEqual(self.listing(), ["full", "in.bin", "null"])

    @unittest.skipUnless(WINDOWS, "a Windows device name")
    def test_nul_device_output_is_written_into(self):
        self.assertRun(self.run_program("in.bin", "NUL"), 0, b"")
        self.assertEqual(self.listing(), ["in.bin"])

    @needs_linux("no FIFOs")
    def test_fifo_output_is_written_into(self):
        os.mkfifo(self.path("pipe"))
        received = []

        def drain():
            with open(self.path("pipe"), "rb") as pipe:
                received.append(pipe.read())

        reader = threading.Thread(target=drain)
        reader.start()
        result = self.run_program("in.bin", "pipe")
        reader.join(timeout=60)
        self.assertRun(result, 0, b"")
        self.assertEqual(received, [expected_target(self.source)])
        self.assertTrue(stat.S_ISFIFO(os.lstat(self.path("pipe")).st_mode))
        self.assertEqual(self.listing(), ["in.bin", "pipe"])


class NamesTest(E2ETestCase):
    def convert_and_check(self, in_name, out_name, *args):
        source = source_image(9)
        self.write(in_name, source)
        self.assertRun(self.run_program(*args), 0, b"")
        self.assertEqual(self.listing(), sorted({in_name, out_name}))
        self.assertEqual(self.read(out_name), expected_target(source))

    def test_default_names(self):
        cases = [
            ("dump.tar.gz", "dump.tar_raw.bin"),
            ("dump", "dump_raw.bin"),
            (".bin", "_raw.bin"),
            ("-h", "-h_raw.bin"),  # no options: a file name
            ("my dump.bin", "my dump_raw.bin"),
            ("caf\u00e9 \u65e5\u672c.bin", "caf\u00e9 \u65e5\u672c_raw.bin"),
        ]
        if not WINDOWS:
            # Windows drops a trailing dot from every name it opens.
            cases.append(("dump.", "dump_raw.bin"))
        for in_name, out_name in cases:
            with self.subTest(in_name=in_name):
                self.convert_and_check(in_name, out_name, in_name)
                os.remove(self.path(in_name))
                os.remove(self.path(out_name))

    def test_non_ascii_output_name(self):
        self.convert_and_check("in.bin", "\u00e9t\u00e9 \u0416.bin",
                               "in.bin", "\u00e9t\u00e9 \u0416.bin")

    def test_longest_output_name(self):
        longest = "o" * 251 + ".bin"  # NAME_MAX, 255 bytes
        self.convert_and_check("in.bin", longest, "in.bin", longest)

    def test_path_longer_than_windows_classic_limit(self):
        # Over 260 characters in all: Windows needs the long-path form.
        # (Wine does not enforce the limit; there this shows only that the
        # long form works.)
        deep = os.path.join(*["d" * 60] * 5)
        os.makedirs(self.path(deep))
        source = source_image(12)
        self.write(os.path.join(deep, "in.bin"), source)
        self.assertRun(self.run_program(self.path(os.path.join(deep,
                                                               "in.bin"))),
                       0, b"")
        self.assertEqual(self.listing(self.path(deep)),
                         ["in.bin", "in_raw.bin"])
        self.assertEqual(self.read(os.path.join(deep, "in_raw.bin")),
                         expected_target(source))

    def test_empty_argument(self):
        if WINDOWS:
            # On Windows "" is a skipped pair of quotes: no argument at all.
            self.assertRun(self.run_program(""), 0, USAGE)
        else:
            self.assertRun(self.run_program(""), 1, BAD_SIZE)
        self.assertEqual(self.listing(), [])


@needs_linux("the mechanisms are Linux ones")
@needs_root("mount, chattr and mknod")
class RealFaultsTest(E2ETestCase):
    OLD_OUTPUT = b"the only copy of yesterday's output"

    def setUp(self):
        super().setUp()
        self.source = source_image(10)
        self.write("in.bin", self.source)

    def in_namespace(self, script, *args):
        """Runs a shell script in a private mount namespace; $EXE is the
        program's command, $D the test's directory."""
        if shutil.which("unshare") is None:
            self.skipTest("unshare is not installed")
        env = dict(os.environ, D=self.dir, EXE=shlex.join(self.command()))
        result = subprocess.run(
            ["unshare", "-m", "--propagation", "private", "sh", "-ec", script,
             "sh", *args], env=env, cwd=self.dir, stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        if result.returncode == 99:
            self.skipTest(result.stderr.decode(errors="replace"))
        return result

    def chattr(self, *args):
        result = subprocess.run(["chattr", *args], stderr=subprocess.PIPE)
        if result.returncode != 0:
            self.skipTest("chattr does not work here: "
                          + result.stderr.decode(errors="replace"))

    def assertNoTemporary(self, directory=None):
        for name in self.listing(directory):
            self.assertIsNone(TEMPORARY.match(name), name)

    def test_full_disk_in_place_keeps_the_source(self):
        # 1200 KiB: the 768 KiB source fits, the 832 KiB image beside it
        # does not, and the disk fills part-way through the write.
        result = self.in_namespace("""
            mkdir "$D/mnt"
            mount -t tmpfs -o size=1200k tmpfs "$D/mnt" || exit 99
            trap 'umount "$D/mnt"' EXIT
            cp "$D/in.bin" "$D/mnt/img"
            set +e
            $EXE "$D/mnt/img" "$D/mnt/img" > "$D/stdout"
            status=$?
            set -e
            ls -A "$D/mnt" > "$D/listing"
            cp "$D/mnt/img" "$D/after"
            exit $status
        """)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(self.read("stdout"), failure(
            "Cannot write output file (No space left on device)."))
        self.assertEqual(self.read("listing"), b"img\n")
        self.assertEqual(self.read("after"), self.source)

    def test_killed_mid_write_keeps_the_old_output(self):
        # The default action of SIGXFSZ kills the process as the write
        # passes the limit: as good as a crash.
        self.write("out.bin", self.OLD_OUTPUT)
        result = self.run_program("in.bin", "out.bin",
                                  prefix=["prlimit", "--fsize=200000"])
        self.assertEqual(result.returncode, -signal.SIGXFSZ)
        self.assertEqual(result.stdout, b"")
        self.assertEqual(self.read("out.bin"), self.OLD_OUTPUT)
        self.assertEqual(self.read("in.bin"), self.source)
        leftovers = [n for n in self.listing() if n not in ("in.bin",
                                                            "out.bin")]
        self.assertTrue(all(TEMPORARY.match(n) for n in leftovers), leftovers)

    def test_file_size_limit_is_reported(self):
        # With SIGXFSZ ignored, the write fails with EFBIG instead.
        self.write("out.bin", self.OLD_OUTPUT)
        result = self.run_program(
            "in.bin", "out.bin",
            prefix=["bash", "-c", "trap '' XFSZ; exec prlimit "
                    "--fsize=200000 \"$@\"", "bash"])
        self.assertRun(result, 1, failure("Cannot write output file "
                                          "(File too large)."))
        self.assertEqual(self.read("out.bin"), self.OLD_OUTPUT)
        self.assertEqual(self.listing(), ["in.bin", "out.bin"])

    def test_immutable_output_is_left_as_it_was(self):
        self.write("out.bin", self.OLD_OUTPUT)
        self.chattr("+i", self.path("out.bin"))
        self.assertRun(self.run_program("in.bin", "out.bin"), 1,
                       failure("Cannot replace output file "
                               "(Operation not permitted)."))
        self.assertEqual(self.read("out.bin"), self.OLD_OUTPUT)
        self.assertEqual(self.listing(), ["in.bin", "out.bin"])

    def test_immutable_directory(self):
        os.mkdir(self.path("locked"))
        self.write("locked/out.bin", self.OLD_OUTPUT)
        self.chattr("+i", self.path("locked"))
        self.assertRun(self.run_program("in.bin", "locked/out.bin"), 1,
                       failure("Cannot create output file "
                               "(Operation not permitted)."))
        self.assertEqual(self.listing(self.path("locked")), ["out.bin"])
        self.assertEqual(self.read("locked/out.bin"), self.OLD_OUTPUT)

    def test_read_only_file_system(self):
        os.mkdir(self.path("rw"))
        os.mkdir(self.path("ro"))
        self.write("rw/out.bin", self.OLD_OUTPUT)
        result = self.in_namespace("""
            mount --bind -o ro "$D/rw" "$D/ro" || exit 99
            trap 'umount "$D/ro"' EXIT
            $EXE "$D/in.bin" "$D/ro/out.bin"
        """)
        self.assertRun(result, 1, failure("Cannot create output file "
                                          "(Read-only file system)."))
        self.assertEqual(self.listing(self.path("rw")), ["out.bin"])
        self.assertEqual(self.read("rw/out.bin"), self.OLD_OUTPUT)


@unittest.skipUnless(os.environ.get("VELMORIX_MEMCHECK"),
                     "memcheck runs only where the build asks for it")
class MemcheckTest(E2ETestCase):
    HEAP_LIMIT = 128 * 1024  # image data never goes to the heap

    def test_conversion_is_clean_and_keeps_the_heap_small(self):
        source = source_image(11)
        self.write("in.bin", source)
        result = self.run_program(
            "in.bin", "out.bin",
            prefix=["valgrind", "--tool=memcheck", "--error-exitcode=99",
                    "--leak-check=full", "--show-leak-kinds=all",
                    "--errors-for-leak-kinds=all"])
        report = result.stderr.decode(errors="replace")
        self.assertRun(result, 0, b"")
        self.assertIn("ERROR SUMMARY: 0 errors", report)
        self.assertEqual(self.read("out.bin"), expected_target(source))
        usage = re.search(r"total heap usage: ([\d,]+) allocs, ([\d,]+) "
                          r"frees, ([\d,]+) bytes allocated", report)
        self.assertIsNotNone(usage, report)
        allocated = int(usage.group(3).replace(",", ""))
        print(f"\nheap: {usage.group(0)}")
        self.assertLess(allocated, self.HEAP_LIMIT, report)


if __name__ == "__main__":
    unittest.main()
