"""Replacing the package and the dictionary file together or not at all.

The module writes each of them through a temporary file that it renames into
place on success, so each replacement is whole on its own; what is left is
the pair. Before packing, an existing package gets a second name beside it
(a hard link, or a copy where the file system refuses links). The package is
written first and the dictionary file second; the dictionary's rename is the
point of no return. Undoing before it puts the backup back (or removes a
package that did not exist before); undoing after it only drops the backup."""

from __future__ import annotations

import errno
import os
import stat

from .pipe import create_private
from .signals import held
from .undo import discard, register
from .report import UserError, os_problem

# What link() reports on file systems without hard links.
_LINKS_REFUSED = {errno.EPERM, errno.EOPNOTSUPP, errno.EMLINK, errno.ENOSYS}


class PackageSwap:
    def __init__(self, output: str, saved_dictionary: str | None) -> None:
        self.output = output
        self.saved_dictionary = saved_dictionary
        self.existed = os.path.lexists(output)
        self.dictionary_before = _identity(saved_dictionary)
        self.backup: str | None = None
        register(self.undo)

    def keep_backup(self) -> None:
        """Gives an existing regular package a second name (before it is replaced)."""
        if not os.path.isfile(self.output):
            return  # nothing, or a FIFO or device that the module writes in place
        with held():
            try:
                self.backup = _second_name(self.output)
            except OSError as err:
                raise UserError(
                    self.output, f"cannot keep a copy of the earlier package: {os_problem(err)}"
                ) from None

    def finish(self) -> None:
        with held():
            self._drop_backup()
            discard(self.undo)

    def undo(self) -> None:
        with held():
            if _identity(self.saved_dictionary) != self.dictionary_before:
                self._drop_backup()
            elif self.backup is not None:
                self._put_back(self.backup)
            elif not self.existed:
                _remove(self.output)

    def _put_back(self, backup: str) -> None:
        try:
            if _identity(backup) == _identity(self.output):
                os.unlink(backup)  # not replaced yet; rename() of one file's two links does nothing
            else:
                os.replace(backup, self.output)
        except OSError as err:
            problem = f"cannot put the earlier package {self.output} back: {os_problem(err)}"
            raise UserError(backup, f"{problem}; it is kept under this name") from None
        self.backup = None

    def _drop_backup(self) -> None:
        if self.backup is not None:
            _remove(self.backup)
            self.backup = None


def _identity(path: str | None) -> tuple[int, int] | None:
    """Which file `path` is; the module's replace-on-success write gives a
    replaced file a new inode."""
    if path is None:
        return None
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_dev, st.st_ino


def _second_name(path: str) -> str:
    folder, base = os.path.split(path)
    while True:
        backup = os.path.join(folder, f".{base}.{os.urandom(6).hex()}.ormek-backup")
        try:
            os.link(path, backup, follow_symlinks=False)
        except FileExistsError:
            continue
        except OSError as err:
            if err.errno not in _LINKS_REFUSED or os.path.lexists(backup):
                raise
            _copy(path, backup)
        return backup


def _copy(path: str, backup: str) -> None:
    """The package copied to `backup`, private until complete, then given the
    package's permission bits (never a set-id or sticky bit: the copy is the
    copier's) and times through its descriptor. A link is copied as a link."""
    if os.path.islink(path):
        os.symlink(os.readlink(path), backup)
        return
    import shutil  # imported here, not at every command's start-up

    # Opened without following a link: one put in place since the check above
    # fails here instead of having its target copied.
    source_fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    with open(source_fd, "rb") as source, create_private(backup) as copy:
        try:
            shutil.copyfileobj(source, copy)
            copy.flush()
            st = os.fstat(source.fileno())
            os.fchmod(copy.fileno(), stat.S_IMODE(st.st_mode) & 0o777)
            os.utime(copy.fileno(), ns=(st.st_atime_ns, st.st_mtime_ns))
        except BaseException:
            _remove(backup)
            raise


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
