#!/usr/bin/python3
"""A small FUSE file system for tests: a mirror of a backing folder that is
slow and fails on cue.

    fault_fs.py BACKING MOUNTPOINT [cues] [--direct-io]

Every operation goes to the same path under BACKING. Data reads and writes
obey the cues, each a command-line option at mount time:

    --read-delay-ms MS      every read waits MS milliseconds (a fraction is fine)
    --write-delay-ms MS     every write waits MS milliseconds
    --fail-reads ERRNO      reads that match the cues below fail with ERRNO
    --fail-writes ERRNO     writes that match the cues below fail with ERRNO
    --fail-file NAME        only this file fails: its name, or its path from the
                            root ("/a/b"); empty (the default) means every file
    --fail-from-offset N    only transfers that touch byte N or a later one fail
    --fail-after COUNT      the first COUNT matching reads (and, counted apart,
                            writes) still succeed; later ones fail

ERRNO is a number or a name such as EIO or ENOSPC; 0 means no failure. The
cues change while mounted through the control file MOUNTPOINT/.fault_control,
which readdir does not list: each line written to it is NAME=VALUE with the
option's name in underscores, e.g. "read_delay_ms=0" or "fail_reads=EIO".
Setting any failure cue starts the --fail-after count again. Reading the
control file gives the cues and the number of data reads and writes served so
far, one NAME=VALUE a line. An unknown name or a bad value fails the write
with EINVAL and changes nothing.

Requests are served one at a time, as by a drive with one head: a delay of D
ms makes N reads last at least N * D ms whatever the caller keeps in flight.
fallocate is not offered (the kernel answers EOPNOTSUPP). --direct-io passes
every transfer to this file system as the caller made it, bypassing the page
cache; without it the kernel may cache, read ahead and merge. The mirror ends
when unmounted (fusermount -u MOUNTPOINT) or on SIGTERM or SIGINT.

Needs python3-fusepy (Debian's module is named fusepy), /dev/fuse and the
right to mount (root, or fusermount for the owner of MOUNTPOINT).
"""

import argparse
import errno
import os
import sys
import threading
import time

try:
    import fusepy as fuse
except ImportError:
    try:
        import fuse
    except ImportError:
        sys.stderr.write("fault_fs: python3-fusepy is not installed\n")
        sys.exit(3)

CONTROL = "/.fault_control"


def errno_value(text):
    """ERRNO as a number: digits, or a name from the errno module."""
    text = text.strip()
    if text.isdigit():
        return int(text)
    value = getattr(errno, text.upper(), None)
    if not isinstance(value, int):
        raise ValueError("no errno named " + text)
    return value


def delay_value(text):
    value = float(text)
    if not value >= 0:
        raise ValueError("a delay is zero or more milliseconds")
    return value


def count_value(text):
    value = int(text)
    if value < 0:
        raise ValueError("a count or an offset is zero or more")
    return value


# Each cue: its parser and its value when not given.
CUES = {
    "read_delay_ms": (delay_value, 0.0),
    "write_delay_ms": (delay_value, 0.0),
    "fail_reads": (errno_value, 0),
    "fail_writes": (errno_value, 0),
    "fail_file": (str.strip, ""),
    "fail_from_offset": (count_value, 0),
    "fail_after": (count_value, 0),
}


class cues_s:
    """The cues and the counters; every access holds `lock`."""

    def __init__(self):
        self.lock = threading.Lock()
        self.values = {name: default for name, (_, default) in CUES.items()}
        self.matched = {"read": 0, "write": 0}  # matching transfers since a failure cue was set
        self.served = {"read": 0, "write": 0}

    def set(self, name, text):
        """Sets one cue from its text; raises ValueError for a bad name or value."""
        if name not in CUES:
            raise ValueError("no cue named " + name)
        value = CUES[name][0](text)
        with self.lock:
            self.values[name] = value
            if name.startswith("fail_"):
                self.matched = {"read": 0, "write": 0}

    def text(self):
        with self.lock:
            lines = ["%s=%s" % (name, value) for name, value in self.values.items()]
            lines += ["%ss=%d" % (kind, count) for kind, count in self.served.items()]
        return ("\n".join(lines) + "\n").encode()

    def before_transfer(self, kind, path, offset, size):
        """The delay to wait and the errno to fail with (0: go ahead) for one transfer."""
        with self.lock:
            delay = self.values[kind + "_delay_ms"] / 1000.0
            error = self.values["fail_%ss" % kind]
            name = self.values["fail_file"]
            if error != 0 and name and name not in (path, os.path.basename(path)):
                error = 0
            if error != 0 and offset + size <= self.values["fail_from_offset"]:
                error = 0
            if error != 0:
                self.matched[kind] += 1
                if self.matched[kind] <= self.values["fail_after"]:
                    error = 0
            if error == 0:
                self.served[kind] += 1
        return delay, error


class fault_fs(fuse.Operations):
    use_ns = True

    def __init__(self, backing, cues):
        self.backing = os.path.realpath(backing)
        self.cues = cues
        self.control_text = b""

    def _real(self, path):
        return self.backing + path

    def _control_attributes(self):
        now = time.time_ns()
        return {"st_mode": 0o100600, "st_nlink": 1, "st_size": len(self.cues.text()),
                "st_uid": os.getuid(), "st_gid": os.getgid(),
                "st_atime": now, "st_mtime": now, "st_ctime": now}

    # Names and attributes.

    def getattr(self, path, fh=None):
        if path == CONTROL:
            return self._control_attributes()
        status = os.fstat(fh) if fh is not None else os.lstat(self._real(path))
        names = ("st_mode", "st_nlink", "st_uid", "st_gid", "st_size", "st_ino", "st_blocks",
                 "st_blksize", "st_atime_ns", "st_mtime_ns", "st_ctime_ns", "st_rdev")
        attributes = {name: getattr(status, name) for name in names}
        for name in ("st_atime", "st_mtime", "st_ctime"):
            attributes[name] = attributes.pop(name + "_ns")
        return attributes

    def access(self, path, mode):
        if path != CONTROL and not os.access(self._real(path), mode):
            raise fuse.FuseOSError(errno.EACCES)

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self._real(path))

    def readlink(self, path):
        return os.readlink(self._real(path))

    def statfs(self, path):
        volume = os.statvfs(self._real(path if path != CONTROL else "/"))
        names = ("f_bavail", "f_bfree", "f_blocks", "f_bsize", "f_favail", "f_ffree", "f_files",
                 "f_flag", "f_frsize", "f_namemax")
        return {name: getattr(volume, name) for name in names}

    def chmod(self, path, mode):
        os.chmod(self._real(path), mode)

    def chown(self, path, uid, gid):
        os.chown(self._real(path), uid, gid)

    def utimens(self, path, times=None):
        if path != CONTROL:
            os.utime(self._real(path), ns=times)

    def mkdir(self, path, mode):
        os.mkdir(self._real(path), mode)

    def rmdir(self, path):
        os.rmdir(self._real(path))

    def mknod(self, path, mode, dev):
        os.mknod(self._real(path), mode, dev)

    def unlink(self, path):
        if path == CONTROL:
            raise fuse.FuseOSError(errno.EPERM)
        os.unlink(self._real(path))

    def symlink(self, target, source):
        os.symlink(source, self._real(target))

    def link(self, target, source):
        os.link(self._real(source), self._real(target))

    def rename(self, old, new):
        if CONTROL in (old, new):
            raise fuse.FuseOSError(errno.EPERM)
        os.rename(self._real(old), self._real(new))

    # Files. The backing descriptor is opened without O_DIRECT: what reaches this file system
    # is already past the caller's alignment, and the backing folder may refuse O_DIRECT.

    def open(self, path, flags):
        if path == CONTROL:
            return 0
        return os.open(self._real(path), flags & ~os.O_DIRECT)

    def create(self, path, mode, fi=None):
        if path == CONTROL:
            raise fuse.FuseOSError(errno.EEXIST)
        return os.open(self._real(path), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, mode)

    def release(self, path, fh):
        if path != CONTROL:
            os.close(fh)

    def flush(self, path, fh):
        pass

    def fsync(self, path, datasync, fh):
        if path == CONTROL:
            return
        if datasync:
            os.fdatasync(fh)
        else:
            os.fsync(fh)

    def truncate(self, path, length, fh=None):
        if path == CONTROL:
            return
        if fh is not None:
            os.ftruncate(fh, length)
        else:
            os.truncate(self._real(path), length)

    def read(self, path, size, offset, fh):
        if path == CONTROL:
            return self.cues.text()[offset:offset + size]
        delay, error = self.cues.before_transfer("read", path, offset, size)
        if delay > 0:
            time.sleep(delay)
        if error != 0:
            raise fuse.FuseOSError(error)
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        if path == CONTROL:
            return self._write_control(data)
        delay, error = self.cues.before_transfer("write", path, offset, len(data))
        if delay > 0:
            time.sleep(delay)
        if error != 0:
            raise fuse.FuseOSError(error)
        written = 0
        while written < len(data):
            written += os.pwrite(fh, data[written:], offset + written)
        return written

    def _write_control(self, data):
        """Takes whole NAME=VALUE lines; all of a write's lines are checked before any is set."""
        try:
            changes = []
            for line in data.decode().splitlines():
                if line.strip():
                    name, _, value = line.partition("=")
                    name = name.strip()
                    if name not in CUES:
                        raise ValueError("no cue named " + name)
                    CUES[name][0](value)
                    changes.append((name, value))
            for name, value in changes:
                self.cues.set(name, value)
        except (ValueError, UnicodeDecodeError) as failure:
            sys.stderr.write("fault_fs: %s\n" % failure)
            raise fuse.FuseOSError(errno.EINVAL)
        return len(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("backing")
    parser.add_argument("mountpoint")
    parser.add_argument("--direct-io", action="store_true")
    for name in CUES:
        parser.add_argument("--" + name.replace("_", "-"), dest=name)
    arguments = parser.parse_args()
    cues = cues_s()
    for name in CUES:
        value = getattr(arguments, name)
        if value is not None:
            try:
                cues.set(name, value)
            except ValueError as failure:
                parser.error(str(failure))
    if not os.path.isdir(arguments.backing):
        parser.error("no backing folder " + arguments.backing)
    # Zero timeouts: a test may change the backing folder directly and must see it at once.
    fuse.FUSE(fault_fs(arguments.backing, cues), arguments.mountpoint, foreground=True,
              nothreads=True, fsname="fault_fs", use_ino=True, attr_timeout=0,
              entry_timeout=0, negative_timeout=0, direct_io=arguments.direct_io)


if __name__ == "__main__":
    main()
