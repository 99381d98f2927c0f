"""A pcscd of a test's own, beside any pcscd the machine runs.

pcscd's socket folder is fixed (/run/pcscd) and pcscd will not start while a socket is there, so the private pcscd
runs in a mount namespace of its own in which a private folder is mounted on /run/pcscd. Its clients find the socket
in that folder through PCSCLITE_CSOCK_NAME. As root the namespace is a plain one (unshare -m); as another user it
comes with a user namespace (unshare -Urm), where the kernel allows those.

    with PrivatePcscd(conf_dir, log_path) as pcscd:
        subprocess.run(["pcsc_scan", "-r"], env=pcscd.env)
"""
import functools
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

START_WAIT_S = 30
STOP_WAIT_S = 30

# Run by sh inside the namespace with the private folder as $0 and pcscd's command line as $@. Where the machine has
# no /run/pcscd yet, root makes it; another user cannot, and gets a tmpfs on /run inside the namespace instead.
_MOUNT_AND_EXEC = """set -e
[ -d /run/pcscd ] || mkdir /run/pcscd 2>/dev/null || { mount -t tmpfs ryx /run; mkdir /run/pcscd; }
mount --bind "$0" /run/pcscd
exec "$@"
"""


@functools.lru_cache(maxsize=None)
def _namespace():
    """(the unshare command that makes a private mount namespace here, None) or (None, why none can be made). Root
    takes a plain one; a user who is not root, or a root without CAP_SYS_ADMIN (in a container), a user namespace."""
    if shutil.which("pcscd") is None:
        return None, "pcscd is not installed (scripts/setup-deps installs it)"
    tries = ([["unshare", "-m"]] if os.geteuid() == 0 else []) + [["unshare", "-U", "--map-root-user", "-m"]]
    errors = []
    with tempfile.TemporaryDirectory() as folder:
        for unshare in tries:
            r = subprocess.run(unshare + ["mount", "--bind", folder, folder], capture_output=True, text=True,
                               timeout=60)
            if r.returncode == 0:
                return unshare, None
            errors.append(f"`{' '.join(unshare)}`: {r.stderr.strip()}")
    return None, (f"a private pcscd needs a mount namespace of its own, and none can be made here ({'; '.join(errors)}):"
                  f" run as root, or allow user namespaces (sysctl kernel.unprivileged_userns_clone=1)")


def skip_reason():
    """Why no private pcscd can run here (not root and no user namespaces, or no pcscd), else None."""
    return _namespace()[1]


class PrivatePcscd:
    """pcscd -f -c reader_conf_dir, with its output in log_path (when given) and in log(). A context manager: every
    wait is bounded, and pcscd is stopped on exit whatever happens."""

    def __init__(self, reader_conf_dir, log_path=None, extra_args=()):
        self._argv = ["pcscd", "--foreground", "-c", reader_conf_dir] + list(extra_args)
        self._folder = tempfile.mkdtemp(prefix="ryx-pcscd-")
        self._log_file = open(log_path, "w") if log_path else None
        self._lines = []
        self._changed = threading.Condition()
        self.proc = None
        self.socket_path = os.path.join(self._folder, "pcscd.comm")
        self.env = dict(os.environ, PCSCLITE_CSOCK_NAME=self.socket_path)

    def __enter__(self):
        # pcscd itself neither takes a socket from systemd nor moves its own: both are for its clients.
        env = {k: v for k, v in os.environ.items() if k not in ("LISTEN_FDS", "LISTEN_PID", "PCSCLITE_CSOCK_NAME")}
        self.proc = subprocess.Popen(_namespace()[0] + ["sh", "-c", _MOUNT_AND_EXEC, self._folder] + self._argv,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env,
                                     start_new_session=True)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        end = time.monotonic() + START_WAIT_S
        while not self._answers():
            if self.proc.poll() is not None or time.monotonic() >= end:
                self.stop()
                raise RuntimeError(f"the private pcscd did not answer on {self.socket_path} within {START_WAIT_S} s "
                                   f"(exit status {self.proc.returncode}):\n{self.log()[-3000:]}")
            time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        self.stop()
        if self._log_file:
            self._log_file.close()
        shutil.rmtree(self._folder, ignore_errors=True)

    def stop(self, sig=signal.SIGINT):
        """Sends sig (SIGINT: pcscd closes every reader) and waits for the end, killing pcscd after STOP_WAIT_S.
        Returns its exit status, None when it had to be killed."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(STOP_WAIT_S)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
                self._reader.join(10)
                return None
        self._reader.join(10)
        return self.proc.returncode

    def log(self):
        """pcscd's output so far."""
        with self._changed:
            return "".join(self._lines)

    def wait_for(self, text, timeout=START_WAIT_S):
        """True once pcscd's output holds text; False when it ended or timeout seconds passed first. (Its output is
        read by a thread: a line pcscd wrote before its socket answered may not be in log() yet.)"""
        end = time.monotonic() + timeout
        with self._changed:
            while not any(text in line for line in self._lines):
                left = end - time.monotonic()
                if left <= 0 or not self._reader.is_alive():
                    return any(text in line for line in self._lines)
                self._changed.wait(min(left, 1))
            return True

    def _read(self):
        for line in self.proc.stdout:
            with self._changed:
                self._lines.append(line)
                self._changed.notify_all()
            if self._log_file:
                self._log_file.write(line)
                self._log_file.flush()

    def _answers(self):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(2)
            try:
                s.connect(self.socket_path)
                return True
            except OSError:
                return False
