"""Runs the real qivhub binary for the end-to-end tests and the soak. QIVHUB names the binary and
QIVHUB_EMULATOR (optional) the command that runs it (qemu-arm for the cross build)."""
import glob
import os
import resource
import shlex
import subprocess
import tempfile
import threading
import time

HUB = os.environ["QIVHUB"]
EMULATOR = shlex.split(os.environ.get("QIVHUB_EMULATOR", ""))
START_LINES = [
    "Resets memory statistics.",
    "disable stdout buffering.",
    "make copy of arguments.",
    "Initialize the signal handler.",
    "Initialize the QIVhub...",
]
STAMP = r"\d{8}\.\d{6}\.\d{3}"
# What a sanitizer writes when it finds something, wherever the console went.
SANITIZER = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
             "WARNING: ThreadSanitizer")


def built_with_tsan():
    with open(HUB, "rb") as f:
        return b"__tsan_init" in f.read()


# ThreadSanitizer sleeps this long before a process exits (its atexit_sleep_ms), to catch races
# at exit: a time limit on a whole run of the hub allows for it.
EXIT_SLEEP = 1.0 if built_with_tsan() else 0.0


def _no_core_files(file_size=None):
    # The hub raises its soft core limit; a hard limit of 0 keeps test runs from writing cores.
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    if file_size is not None:
        resource.setrlimit(resource.RLIMIT_FSIZE, (file_size, file_size))


def wait_for(predicate, timeout=30.0, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class _HubProcess:
    """One hub process in a fresh working directory, where its trace files land."""

    def __init__(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def _spawn(self, args, env, stdin, stdout, stderr, file_size_limit=None):
        full_env = dict(os.environ)
        full_env.update(env or {})
        self.proc = subprocess.Popen(
            EMULATOR + [HUB, *args], cwd=self.dir, stdin=stdin, env=full_env,
            stdout=stdout, stderr=stderr, preexec_fn=lambda: _no_core_files(file_size_limit))

    def path(self, name):
        return os.path.join(self.dir, name)

    def file_text(self, name):
        """The text of a file in the working directory, or None when there is none."""
        try:
            with open(self.path(name), encoding="latin-1") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def trace_files(self):
        return sorted(glob.glob(os.path.join(self.dir, "qivhub.*.trc")))

    def trace_text(self):
        return "".join(self.file_text(os.path.basename(name)) or ""
                       for name in self.trace_files())

    def _wait(self, timeout):
        """Waits for the process to end, killing it when it does not in time."""
        try:
            self.proc.wait(timeout)
        finally:
            self._kill()
            self._console_done()

    def _kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def _console_done(self):
        """Everything the process wrote to its console has been collected."""

    def cleanup(self):
        self._kill()
        self._console_done()
        if self.proc.stdin and not self.proc.stdin.closed:
            self.proc.stdin.close()
        self.tmp.cleanup()


class Hub(_HubProcess):
    """A hub whose console is read through pipes as it comes (out, err)."""

    def __init__(self, *args, env=None, stdin=subprocess.DEVNULL, file_size_limit=None):
        super().__init__()
        self._spawn(args, env, stdin, subprocess.PIPE, subprocess.PIPE, file_size_limit)
        self.out = b""
        self.err = ""
        # The console echo must always be drained, or a busy hub blocks on a full pipe.
        self._lock = threading.Lock()
        self._readers = [threading.Thread(target=self._drain, args=(self.proc.stdout, "out")),
                         threading.Thread(target=self._drain, args=(self.proc.stderr, "err"))]
        self._err = b""
        for reader in self._readers:
            reader.daemon = True
            reader.start()

    def _drain(self, stream, which):
        for chunk in iter(lambda: stream.read1(65536), b""):
            with self._lock:
                if which == "out":
                    self.out += chunk
                else:
                    self._err += chunk
        stream.close()

    def _console_done(self):
        for reader in self._readers:
            reader.join(10)

    def read_until(self, text, timeout=30.0):
        def seen():
            with self._lock:
                return text.encode() in self.out
        return wait_for(seen, timeout)

    def send(self, keys):
        self.proc.stdin.write(keys.encode())
        self.proc.stdin.flush()

    def finish(self, timeout=15.0):
        """Waits for the process to end and returns its stdout lines; keeps the directory."""
        self._wait(timeout)
        self.err = self._err.decode(errors="replace")
        if self.proc.stdin:
            self.proc.stdin.close()
        return self.out.decode(errors="replace").splitlines()


class ConsoleHub(_HubProcess):
    """A hub with the plug-in directory given, its console (both streams) in console.out in its
    directory. A file, not a pipe: a flood of several hundred thousand lines would make a pipe
    reader the bottleneck."""

    def __init__(self, plugins, *args, env=None):
        super().__init__()
        self.console_path = self.path("console.out")
        self._console = open(self.console_path, "wb")
        self._spawn(["-l", plugins, *args], env, subprocess.DEVNULL, self._console,
                    subprocess.STDOUT)

    def _console_done(self):
        self._console.close()

    def text(self, name):
        """The text of a file in the working directory, or "" when there is none."""
        return self.file_text(name) or ""

    def console_has(self, needle):
        with open(self.console_path, "rb") as f:
            return needle.encode() in f.read()

    def finish(self, timeout=15.0):
        """Waits for the process to end and returns its exit status; keeps the directory."""
        self._wait(timeout)
        return self.proc.returncode
