"""The exceptions of a failed read.

Every failure to read or parse a run record is a ``VasprunError`` (a ``RuntimeError``). A file the system could
not open or read is also the ``OSError`` subclass of its errno, with ``errno`` set, so that ``except OSError`` and
``except FileNotFoundError`` catch it. ``str(e)`` and ``e.args`` are the same one text either way: ``strerror`` and
``filename`` stay None, since setting them would change ``str(e)``.
"""

import errno as _errno


class VasprunError(RuntimeError):
    """A run record that could not be read or parsed; ``str(e)`` says why."""

    __module__ = "calcsift"


class VasprunOSError(VasprunError, OSError):
    """A file that could not be opened or read; ``errno`` is the system's error number."""

    def __reduce__(self):
        # OSError's own keeps errno only with strerror set; these errors have the one text argument.
        return _rebuild, (type(self), self.args, self.errno)


class VasprunFileNotFoundError(VasprunOSError, FileNotFoundError):
    pass


class VasprunIsADirectoryError(VasprunOSError, IsADirectoryError):
    pass


class VasprunPermissionError(VasprunOSError, PermissionError):
    pass


_BY_ERRNO = {
    _errno.ENOENT: VasprunFileNotFoundError,
    _errno.EISDIR: VasprunIsADirectoryError,
    _errno.EACCES: VasprunPermissionError,
    _errno.EPERM: VasprunPermissionError,
}


def _from_errno(message, errnum):
    """The exception of a system error (called by the extension module)."""
    error = _BY_ERRNO.get(errnum, VasprunOSError)(message)
    error.errno = errnum
    return error


def _rebuild(cls, args, errnum):
    error = cls(*args)
    error.errno = errnum
    return error
