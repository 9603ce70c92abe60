#!/usr/bin/python3
"""A small FUSE file system for tests: a mirror of a backing folder that is
slow, fails and loses data on cue.

    fault_fs.py BACKING MOUNTPOINT [cues] [--direct-io]

Every operation goes to the same path under BACKING. Data reads, writes and
flushes (fsync, fdatasync) obey the cues, each a command-line option at mount
time:

    --read-delay-ms MS      every read waits MS milliseconds (a fraction is fine)
    --write-delay-ms MS     every write waits MS milliseconds
    --fail-reads ERRNO      reads that match the cues below fail with ERRNO
    --fail-writes ERRNO     writes that match the cues below fail with ERRNO
    --fail-flushes ERRNO    flushes of a file that matches --fail-file fail with
                            ERRNO, and the file loses its unflushed writes
    --fail-file NAME        only this file fails: its name, or its path from the
                            root ("/a/b"); empty (the default) means every file
    --fail-from-offset N    only transfers that touch byte N or a later one fail
                            (flushes have no offset: it does not apply to them)
    --fail-after COUNT      the first COUNT matching reads (and, counted apart,
                            writes and flushes) still succeed; later ones fail
    --fail-flush-times N    only the first N flushes that would fail do fail
                            (default 1), later ones succeed; 0: all of them
    --flip-bit-at N         every write to a file that matches --fail-file and
                            covers byte N lands with that byte's lowest bit
                            inverted, and reports success; -1 (the default): none

ERRNO is a number or a name such as EIO or ENOSPC; 0 means no failure. The
cues change while mounted through the control file MOUNTPOINT/.fault_control,
which readdir does not list: each line written to it is NAME=VALUE with the
option's name in underscores, e.g. "read_delay_ms=0" or "fail_reads=EIO".
Setting any failure cue (fail_...) starts the --fail-after counts and the
--fail-flush-times count again. The line "power_cut=1" cuts the power (below).
Reading the control file gives the cues and these counters, one NAME=VALUE a
line: reads, writes and flushes served; flushes_failed; bits_flipped. An
unknown name or a bad value fails the write with EINVAL and changes nothing.

A drive's volatile cache: what each file received since its last successful
flush (writes, truncate and ftruncate) can be lost, like data a drive never
wrote. A flush that fails undoes that file's unflushed changes in BACKING: the
bytes they overwrote and the length before them come back. This is how Linux
reports a lost write-back: one failed fsync, after which a later one succeeds
although the data is gone. A power cut undoes the unflushed changes of every
file, and then nothing is pending. Files are known by their backing inode, not
by name, so writes after a rename or through another hard link are undone
too. Names are not part of the cache: renames, links, removals and new files
stay as they are, so a file made since its last flush keeps its name and loses
its unflushed data (usually becoming empty), and a file removed before its
flush stays removed; directory flushes always succeed. Undoing keeps the bytes
each change overwrote, and a descriptor opened read-write on each changed
file, until the file's next flush: memory grows with the unflushed data, fine
for test files of a few MB. Opening that descriptor needs the right to read
and write the file (as root, always). Without --direct-io a descriptor open
across an undo may still read undone bytes from the kernel's cache; files
opened afterwards read BACKING.

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


def offset_or_none(text):
    value = int(text)
    if value < -1:
        raise ValueError("an offset is zero or more, or -1 for none")
    return value


def power_cut_value(text):
    if text.strip() != "1":
        raise ValueError("power_cut takes 1")
    return 1


# Each cue: its parser and its value when not given.
CUES = {
    "read_delay_ms": (delay_value, 0.0),
    "write_delay_ms": (delay_value, 0.0),
    "fail_reads": (errno_value, 0),
    "fail_writes": (errno_value, 0),
    "fail_flushes": (errno_value, 0),
    "fail_file": (str.strip, ""),
    "fail_from_offset": (count_value, 0),
    "fail_after": (count_value, 0),
    "fail_flush_times": (count_value, 1),
    "flip_bit_at": (offset_or_none, -1),
}

# Lines of the control file that act once instead of setting a cue: their parsers.
ACTIONS = {"power_cut": power_cut_value}
# The parser of every name the control file takes.
PARSERS = {**{name: parse for name, (parse, _) in CUES.items()}, **ACTIONS}


class cues_s:
    """The cues and the counters; every access holds `lock`."""

    def __init__(self):
        self.lock = threading.Lock()
        self.values = {name: default for name, (_, default) in CUES.items()}
        self.matched = {"read": 0, "write": 0, "flush": 0}  # since a failure cue was set
        self.counts = {"reads": 0, "writes": 0, "flushes": 0, "flushes_failed": 0,
                       "bits_flipped": 0}

    def set(self, name, text):
        """Sets one cue from its text; raises ValueError for a bad name or value."""
        if name not in CUES:
            raise ValueError("no cue named " + name)
        value = CUES[name][0](text)
        with self.lock:
            self.values[name] = value
            if name.startswith("fail_"):
                self.matched = {"read": 0, "write": 0, "flush": 0}

    def text(self):
        with self.lock:
            lines = ["%s=%s" % (name, value) for name, value in self.values.items()]
            lines += ["%s=%d" % (name, count) for name, count in self.counts.items()]
        return ("\n".join(lines) + "\n").encode()

    def _matches(self, path):
        """Whether fail_file names this file; `lock` held."""
        name = self.values["fail_file"]
        return not name or name in (path, os.path.basename(path))

    def before_transfer(self, kind, path, offset, size):
        """The delay to wait and the errno to fail with (0: go ahead) for one transfer."""
        with self.lock:
            delay = self.values[kind + "_delay_ms"] / 1000.0
            error = self.values["fail_%ss" % kind]
            if error != 0 and not self._matches(path):
                error = 0
            if error != 0 and offset + size <= self.values["fail_from_offset"]:
                error = 0
            if error != 0:
                self.matched[kind] += 1
                if self.matched[kind] <= self.values["fail_after"]:
                    error = 0
            if error == 0:
                self.counts[kind + "s"] += 1
        return delay, error

    def before_flush(self, path):
        """The errno to fail one flush with (0: go ahead)."""
        with self.lock:
            error = self.values["fail_flushes"]
            if error != 0 and self._matches(path):
                self.matched["flush"] += 1
                failing = self.matched["flush"] - self.values["fail_after"]  # 1 for the first
                times = self.values["fail_flush_times"]
                if failing <= 0 or (times != 0 and failing > times):
                    error = 0
            else:
                error = 0
            self.counts["flushes_failed" if error != 0 else "flushes"] += 1
        return error

    def flip_index(self, path, offset, size):
        """The index in a write of the byte whose lowest bit to invert, or -1."""
        with self.lock:
            at = self.values["flip_bit_at"]
            if not offset <= at < offset + size or not self._matches(path):
                return -1
            self.counts["bits_flipped"] += 1
            return at - offset


def write_all(fd, data, offset):
    """pwrite until all of `data` is written; its length."""
    written = 0
    while written < len(data):
        written += os.pwrite(fd, data[written:], offset + written)
    return written


class journal_s:
    """The changes each backing file received since its last successful flush, to undo them.

    A file is known by (st_dev, st_ino), which survives renames. Each change keeps
    (offset, the bytes it overwrote from there, the file's length before it): undone newest
    first, rewriting those bytes and restoring that length puts the file back as it was
    flushed. Each changed file also has its own read-write descriptor, as the caller's may be
    write-only and the file's name may change or go before the undo. Changing a file and
    noting it happen together: every access holds `lock`.
    """

    def __init__(self):
        self.lock = threading.Lock()
        self.files = {}  # (st_dev, st_ino) -> (descriptor, [(offset, old bytes, old length)])

    def _note(self, key, real, offset, size):
        """Keeps what a change of `size` bytes at `offset` will overwrite; `lock` held.
        `real` names the file now, as requests are served one at a time."""
        if key not in self.files:
            self.files[key] = (os.open(real, os.O_RDWR), [])
        fd, changes = self.files[key]
        changes.append((offset, os.pread(fd, size, offset), os.fstat(fd).st_size))

    def write(self, fh, real, data, offset):
        with self.lock:
            status = os.fstat(fh)
            self._note((status.st_dev, status.st_ino), real, offset, len(data))
            return write_all(fh, data, offset)

    def truncate(self, fh, real, length):
        """Truncates through `fh`, or by name when it is None."""
        with self.lock:
            status = os.fstat(fh) if fh is not None else os.stat(real)
            # A shrink keeps the bytes it cuts off; a growth keeps nothing but the length.
            start = min(length, status.st_size)
            self._note((status.st_dev, status.st_ino), real, start, status.st_size - start)
            if fh is not None:
                os.ftruncate(fh, length)
            else:
                os.truncate(real, length)

    def flush(self, fh, datasync):
        """Flushes the backing file; its changes are then safe."""
        with self.lock:
            if datasync:
                os.fdatasync(fh)
            else:
                os.fsync(fh)
            status = os.fstat(fh)
            entry = self.files.pop((status.st_dev, status.st_ino), None)
            if entry is not None:
                os.close(entry[0])

    def lose(self, fh):
        """Undoes the unflushed changes of the file open as `fh`."""
        with self.lock:
            status = os.fstat(fh)
            self._undo((status.st_dev, status.st_ino))

    def lose_all(self):
        """Undoes the unflushed changes of every file: a power cut."""
        with self.lock:
            for key in list(self.files):
                self._undo(key)

    def _undo(self, key):
        """`lock` held."""
        if key not in self.files:
            return
        fd, changes = self.files.pop(key)
        try:
            for offset, old, length in reversed(changes):
                write_all(fd, old, offset)
                os.ftruncate(fd, length)
        finally:
            os.close(fd)


class fault_fs(fuse.Operations):
    use_ns = True

    def __init__(self, backing, cues):
        self.backing = os.path.realpath(backing)
        self.cues = cues
        self.journal = journal_s()
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
        error = self.cues.before_flush(path)
        if error != 0:
            self.journal.lose(fh)
            raise fuse.FuseOSError(error)
        self.journal.flush(fh, datasync)

    def truncate(self, path, length, fh=None):
        if path == CONTROL:
            return
        self.journal.truncate(fh, self._real(path), length)

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
        flip = self.cues.flip_index(path, offset, len(data))
        if flip >= 0:
            data = bytearray(data)
            data[flip] ^= 1
        return self.journal.write(fh, self._real(path), data, offset)

    def _write_control(self, data):
        """Takes whole NAME=VALUE lines; all of a write's lines are checked before any is set
        (or acted on), then they take effect in order."""
        try:
            changes = []
            for line in data.decode().splitlines():
                if line.strip():
                    name, _, value = line.partition("=")
                    name = name.strip()
                    if name not in PARSERS:
                        raise ValueError("no cue named " + name)
                    PARSERS[name](value)
                    changes.append((name, value))
            for name, value in changes:
                if name == "power_cut":
                    self.journal.lose_all()
                else:
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
