"""Data files shared with the command-line tool and the browser panel: CSV
and HDF5, laid out as docs/usage.md ("Data files") describes (format 2;
files of format 1 are still read).

This module holds what both formats share: the units of a column, clear
errors for a full disk, and saving a whole file safely (written beside the
target under a temporary name and renamed into place when complete, so that
an interrupted save leaves the file that was there, and an existing file is
replaced only when asked). The formats
themselves are in csvfile and hdf5file; Acquisition.to_csv, to_hdf5 and
qelomsr.load use them.
"""

import errno
import os

FORMAT_VERSION = 2

ANALOG_UNIT = "V"
RAW_UNIT = "raw"

_SPACE_TEXTS = {
    errno.ENOSPC: "no space left on device",
    errno.EFBIG: "file size limit exceeded",
    errno.EDQUOT: "disk quota exceeded",
}


def unit_of(name):
    """The unit of a channel by its name: "raw" for ports, counter and
    trigger (DP-n, CNT, TRG), "V" for analog inputs."""
    upper = str(name).upper()
    return RAW_UNIT if upper.startswith("DP-") or upper in ("CNT", "TRG") else ANALOG_UNIT


def write_error(path, error, what="writing"):
    """An OSError that names the file and says plainly what went wrong
    ("no space left on device", "file size limit exceeded")."""
    reason = _SPACE_TEXTS.get(error.errno) or (error.strerror or str(error)).lower()
    return OSError(error.errno, "%s %s failed: %s" % (what, path, reason), path)


def check_target(path, overwrite):
    """Refuses a target that exists (unless overwrite) or whose directory
    cannot take it, before anything is read from a device or written."""
    path = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise IsADirectoryError(errno.EISDIR, "%s is a directory" % path, path)
    if not overwrite and os.path.lexists(path):
        raise FileExistsError(errno.EEXIST, "%s exists (overwrite=True replaces it)" % path,
                              path)
    if not os.path.isdir(directory):
        raise FileNotFoundError(errno.ENOENT, "the directory of %s does not exist" % path, path)
    if not os.access(directory, os.W_OK | os.X_OK):
        raise PermissionError(errno.EACCES, "the directory of %s is not writable" % path, path)
    return path


def open_beside(path):
    """A new file beside `path` under a temporary name: (fd, name)."""
    directory, base = os.path.split(os.path.abspath(path))
    for attempt in range(100):
        name = os.path.join(directory, ".%s.%d.%d.tmp" % (base, os.getpid(), attempt))
        try:
            return os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666), name
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no free temporary name beside %s" % path, path)


def place(temporary, path, overwrite):
    """Renames a complete temporary file to `path` (atomically; without
    overwrite only when `path` still does not exist)."""
    if overwrite:
        os.replace(temporary, path)
        return
    try:
        os.link(temporary, path)
    except FileExistsError:
        raise FileExistsError(errno.EEXIST, "%s exists (overwrite=True replaces it)" % path,
                              path) from None
    except OSError as e:
        if e.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.EXDEV):
            raise
        # A file system without hard links: the check right before the
        # rename is the best there is.
        if os.path.lexists(path):
            raise FileExistsError(errno.EEXIST, "%s exists (overwrite=True replaces it)" % path,
                                  path) from None
        os.replace(temporary, path)
        return
    os.unlink(temporary)


def sync_directory(path):
    try:
        fd = os.open(os.path.dirname(os.path.abspath(path)), os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def save(path, write, overwrite=False):
    """Saves a whole file: `write(fd)` fills a temporary file beside `path`,
    which is then renamed into place. On any failure (a full disk, an
    interrupt) the temporary file is removed and `path` is left as it was; a
    write failure raises an OSError naming the file and the reason."""
    path = check_target(path, overwrite)
    fd, temporary = open_beside(path)
    try:
        try:
            write(fd)
            os.fsync(fd)
        except OSError as e:
            raise write_error(path, e) from None
        finally:
            os.close(fd)
        place(temporary, path, overwrite)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    sync_directory(path)


def write_all(fd, data):
    """Writes all of `data` (bytes) or raises the OSError of the write
    that failed."""
    view = memoryview(data)
    while view:
        n = os.write(fd, view)
        if n <= 0:  # pragma: no cover - a regular file writes or raises
            raise OSError(errno.EIO, "a write wrote nothing")
        view = view[n:]
