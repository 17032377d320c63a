"""Runs the real qivhub binary for the end-to-end tests. QIVHUB names the binary and
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


class Hub:
    """One hub process in a fresh working directory (its trace files land there)."""

    def __init__(self, *args, env=None, stdin=subprocess.DEVNULL, file_size_limit=None):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        full_env = dict(os.environ)
        full_env.update(env or {})
        self.proc = subprocess.Popen(
            EMULATOR + [HUB, *args], cwd=self.dir, stdin=stdin, env=full_env,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            preexec_fn=lambda: _no_core_files(file_size_limit))
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

    def read_until(self, text, timeout=30.0):
        def seen():
            with self._lock:
                return text.encode() in self.out
        return wait_for(seen, timeout)

    def send(self, keys):
        self.proc.stdin.write(keys.encode())
        self.proc.stdin.flush()

    def trace_files(self):
        return sorted(glob.glob(os.path.join(self.dir, "qivhub.*.trc")))

    def trace_text(self):
        text = ""
        for name in self.trace_files():
            with open(name, encoding="latin-1") as f:
                text += f.read()
        return text

    def file_text(self, name):
        path = os.path.join(self.dir, name)
        if not os.path.exists(path):
            return None
        with open(path, encoding="latin-1") as f:
            return f.read()

    def finish(self, timeout=15.0):
        """Waits for the process to end and returns its stdout lines; keeps the directory."""
        try:
            self.proc.wait(timeout)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
        for reader in self._readers:
            reader.join(10)
        self.err = self._err.decode(errors="replace")
        if self.proc.stdin:
            self.proc.stdin.close()
        return self.out.decode(errors="replace").splitlines()

    def cleanup(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for reader in self._readers:
            reader.join(10)
        if self.proc.stdin and not self.proc.stdin.closed:
            self.proc.stdin.close()
        self.tmp.cleanup()
