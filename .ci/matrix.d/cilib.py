"""What .ci/matrix and .ci/wheels share: running commands into logs, the
snapshot of the tree, and the Debian trees entered with chroot.

Trees are made by `.ci/setup` (through `.ci/matrix --prepare` and
`.ci/wheels --prepare`); the test scripts only check that they are there.
"""
import contextlib
import fcntl
import glob
import os
import re
import shlex
import shutil
import subprocess
import sys

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CACHE = os.path.abspath(os.environ.get("TAVREL_MATRIX_CACHE", "/var/cache/tavrel-matrix"))
PYENV_ROOT = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
CHROOT_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

# Debian trees, each named for its suite and architecture: 32-bit CPython 3.9
# and 64-bit PyPy 3.7 for the matrix, an older glibc without a compiler for
# installing wheels on, and sid for the newest CPython releases.
TREES = {
    "bullseye-i386": ("i386", ["python3", "python3-dev", "python3-venv", "python3-numpy", "g++", "cmake",
                               "make", "ca-certificates", "musl-tools"]),
    # python-pip-whl: what venv's ensurepip installs from (bullseye has no pypy3-venv).
    "bullseye-amd64": ("amd64", ["pypy3", "pypy3-dev", "python-pip-whl", "g++", "cmake", "make",
                                 "ca-certificates"]),
    "bullseye-amd64-wheels": ("amd64", ["python3", "python3-venv", "ca-certificates"]),
    "sid-amd64": ("amd64", ["python3.14-dev", "python3.14-venv", "python3.15-dev", "python3.15-venv", "g++",
                            "cmake", "make", "ca-certificates"]),
}


def in_ci():
    """CI=true: whatever cannot be had fails the run instead of being skipped."""
    return os.environ.get("CI", "").lower() in ("true", "1", "yes")


def log(msg):
    print(msg, flush=True)


class StepFailed(Exception):
    def __init__(self, msg, logfile=None):
        super().__init__(msg)
        self.logfile = logfile


def run(cmd, logfile=None, check=True, env=None, cwd=None, timeout=None):
    """Run cmd (a list), appending its output to logfile; return (rc, output).
    A time-out returns rc -999."""
    try:
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, cwd=cwd,
                              universal_newlines=True, errors="replace", timeout=timeout)
        rc, out = proc.returncode, proc.stdout
    except subprocess.TimeoutExpired as e:
        rc, out = -999, (e.stdout if isinstance(e.stdout, str) else "") + "\n[timed out after %ss]" % timeout
    if logfile:
        with open(logfile, "a") as f:
            f.write("\n$ %s\n%s" % (" ".join(shlex.quote(c) for c in cmd), out))
    if check and rc != 0:
        raise StepFailed("%s exited %d" % (" ".join(cmd[:3]), rc), logfile)
    return rc, out


def tail(path, n=25):
    try:
        with open(path, errors="replace") as f:
            return "".join(f.readlines()[-n:])
    except OSError:
        return ""


def pyproject_requirements():
    """Build requirements and the test extra, as pyproject.toml names them."""
    text = open(os.path.join(REPO, "pyproject.toml")).read()

    def array(key):
        m = re.search(r"^%s\s*=\s*\[(.*?)\]" % re.escape(key), text, re.M | re.S)
        return re.findall(r'"([^"]+)"', m.group(1)) if m else []
    return array("requires"), array("test")


def snapshot(dest):
    """The tree as it is now, tracked and untracked files alike, less ignored ones."""
    if os.path.isdir(dest):
        shutil.rmtree(dest)
    files = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                           cwd=REPO, stdout=subprocess.PIPE, check=True).stdout.decode().split("\0")
    for name in files:
        src = os.path.join(REPO, name)
        if name and os.path.isfile(src):  # else deleted but still in the index
            os.makedirs(os.path.dirname(os.path.join(dest, name)), exist_ok=True)
            shutil.copy2(src, os.path.join(dest, name))


def copy_tree(src, dest):
    if os.path.isdir(dest):
        shutil.rmtree(dest)
    shutil.copytree(src, dest, symlinks=True)


def pyenv_python(minor):
    """pyenv's newest CPython 3.minor, or None."""
    found = []
    for path in glob.glob(os.path.join(PYENV_ROOT, "versions", "3.%d.*" % minor)):
        m = re.fullmatch(r"3\.%d\.(\d+)" % minor, os.path.basename(path))
        exe = os.path.join(path, "bin", "python3.%d" % minor)
        if m and os.access(exe, os.X_OK):
            found.append((int(m.group(1)), exe))
    return max(found)[1] if found else None


@contextlib.contextmanager
def cache_lock():
    """Runs of the matrix and of the wheels share the cache: one at a time."""
    os.makedirs(CACHE, exist_ok=True)
    with open(os.path.join(CACHE, "lock"), "w") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            print("another run holds %s; waiting for it" % lock.name, file=sys.stderr, flush=True)
            fcntl.flock(lock, fcntl.LOCK_EX)
        yield


# ---- trees ----------------------------------------------------------------------

def tree_path(name):
    return os.path.join(CACHE, "trees", name)


def tree_suite(name):
    return name.split("-")[0]


def _stamp(name):
    arch, packages = TREES[name]
    return "%s %s %s" % (tree_suite(name), arch, " ".join(sorted(packages)))


def tree_ready(name):
    stamp = tree_path(name) + ".stamp"
    return os.path.isdir(tree_path(name)) and os.path.exists(stamp) and open(stamp).read() == _stamp(name)


def debian_mirror():
    """The Debian archive that the host's apt sources already use."""
    if os.environ.get("TAVREL_MATRIX_MIRROR"):
        return os.environ["TAVREL_MATRIX_MIRROR"]
    for path in ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*")):
        try:
            text = open(path).read()
        except OSError:
            continue
        # One-line entries ("deb URI SUITE ...") and deb822 stanzas ("URIs: ...").
        uris = re.findall(r"^\s*deb\s+(?:\[[^\]]*\]\s+)?(\S+)", text, re.M)
        uris += [u for line in re.findall(r"^URIs:\s*(.*)$", text, re.M) for u in line.split()]
        for uri in uris:
            if uri.rstrip("/").endswith("/debian"):
                return uri.rstrip("/")
    raise StepFailed("no Debian archive found in the host's apt sources")


def _mounts_under(path):
    path = os.path.realpath(path)
    with open("/proc/self/mountinfo") as f:
        points = [line.split()[4].replace("\\040", " ") for line in f]
    return sorted((p for p in points if p == path or p.startswith(path + "/")), key=len, reverse=True)


def unmount_all(path):
    for point in _mounts_under(path):
        if subprocess.run(["umount", point], stderr=subprocess.DEVNULL).returncode != 0:
            subprocess.run(["umount", "-l", point], stderr=subprocess.DEVNULL)
    if _mounts_under(path):
        raise StepFailed("still mounted: %s" % ", ".join(_mounts_under(path)))


def _remove_tree(path):
    """rm -rf, but never through a bind mount into the host."""
    if os.path.lexists(path):
        unmount_all(path)
        subprocess.run(["rm", "-rf", "--one-file-system", path], check=True)


def prepare_tree(name, cold, logfile):
    """debootstrap the tree, or install a changed package list into it."""
    root, stamp = tree_path(name), tree_path(name) + ".stamp"
    if cold:
        _remove_tree(root)
    if tree_ready(name):
        return
    arch, packages = TREES[name]
    if os.path.isdir(root) and os.path.exists(stamp):
        try:
            with chroot_session(root):
                run(chroot_argv(root, ["apt-get", "update", "-q"]), logfile)
                run(chroot_argv(root, ["apt-get", "install", "-y", "-q"] + packages), logfile)
            with open(stamp, "w") as f:
                f.write(_stamp(name))
            return
        except StepFailed:
            log("  [%s] could not update the tree; building it again" % name)
    if shutil.which("debootstrap") is None:
        raise StepFailed("no debootstrap (Debian's package of that name)")
    partial = root + ".partial"
    for path in (partial, root, stamp):
        _remove_tree(path)
    suite = tree_suite(name)
    log("  [%s] debootstrap %s/%s (a few minutes)" % (name, suite, arch))
    run(["debootstrap", "--arch=" + arch, "--variant=minbase", "--include=" + ",".join(packages),
         suite, partial, debian_mirror()], logfile)
    if suite == "sid":
        # The archive's copy of sid may be older than its Release file's
        # Valid-Until date; apt in the tree is told to accept that.
        with open(os.path.join(partial, "etc/apt/apt.conf.d/99tavrel-valid-until"), "w") as f:
            f.write('Acquire::Check-Valid-Until "false";\n')
    os.rename(partial, root)
    with open(stamp, "w") as f:
        f.write(_stamp(name))


def _ca_bundle():
    """The CA bundle that pip on the host trusts, for pip inside the trees."""
    for candidate in (os.environ.get("PIP_CERT"), os.environ.get("SSL_CERT_FILE"),
                      "/etc/ssl/certs/ca-certificates.crt"):
        if candidate and os.path.isfile(candidate):
            return candidate
    return None


@contextlib.contextmanager
def chroot_session(root):
    """/proc, /dev and /dev/pts bound into the tree, resolv.conf and the CA
    bundle copied in; everything unmounted again on the way out."""
    unmount_all(root)  # left over from an interrupted run
    try:
        for sub in ("proc", "dev", "dev/pts"):
            os.makedirs(os.path.join(root, sub), exist_ok=True)
            subprocess.run(["mount", "--bind", "/" + sub, os.path.join(root, sub)], check=True)
        shutil.copyfile("/etc/resolv.conf", os.path.join(root, "etc/resolv.conf"))
        if _ca_bundle():
            os.makedirs(os.path.join(root, "etc/tavrel-matrix"), exist_ok=True)
            shutil.copyfile(_ca_bundle(), os.path.join(root, "etc/tavrel-matrix/ca.crt"))
        yield
    finally:
        unmount_all(root)


def chroot_argv(root, argv, env=None):
    """argv run inside the tree, in a clean environment plus env."""
    base = {"PATH": CHROOT_PATH, "HOME": "/root", "LANG": "C.UTF-8", "TMPDIR": "/tmp",
            "PIP_DISABLE_PIP_VERSION_CHECK": "1", "PIP_NO_INPUT": "1",
            "PIP_ROOT_USER_ACTION": "ignore", "DEBIAN_FRONTEND": "noninteractive"}
    if _ca_bundle():
        base["PIP_CERT"] = base["SSL_CERT_FILE"] = "/etc/tavrel-matrix/ca.crt"
    base.update(env or {})
    return ["env", "-i"] + ["%s=%s" % kv for kv in sorted(base.items())] + ["chroot", root] + argv
