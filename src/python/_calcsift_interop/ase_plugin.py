"""The ASE I/O format ``calcsift`` (entry point group ``ase.ioformats``).

ASE loads this module when ``ase.io`` is imported, so it imports nothing heavy:
``ase.io.read(path, index=":", format="calcsift")`` calls ``read_calcsift``.
"""

import gzip
import io
import os
import tempfile

from ase.utils.plugins import ExternalIOFormat

# Binary file objects ('B'): ASE opens the path (a .gz through gzip); multiple images ('+').
# No extension or magic is claimed: the format is chosen by name, never guessed.
calcsift_format = ExternalIOFormat(
    desc="VASP vasprun.xml (plain or .gz) read by calcsift",
    code="+B",
    module="_calcsift_interop.ase_plugin",
)


def read_calcsift(fileobj, index=slice(None), **options):
    """Images of the kept ionic steps, one at a time; ``options`` are ``ionic_step_skip`` and
    ``ionic_step_offset``. ``index`` is a slice (ASE turns an int into one)."""
    from .ase_io import images, iter_images, open_run

    path = _path_of(fileobj)
    if path is not None:
        run = open_run(path, **options)
    else:
        # A stream without a file calcsift could open itself: copy its text to one.
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "vasprun.xml")
            with open(path, "wb") as out:
                data = fileobj.read()
                out.write(data.encode("utf-8") if isinstance(data, str) else data)
            run = open_run(path, **options)
    offset = options.get("ionic_step_offset", 0)
    if isinstance(index, slice):
        yield from iter_images(run, index, offset=offset)
    else:
        yield images(run, index, offset)


def _path_of(fileobj):
    """The path of a plain or gzip file object (calcsift reads both), else None."""
    if isinstance(fileobj, (str, os.PathLike)):
        return os.fspath(fileobj)
    if isinstance(fileobj, (io.BufferedReader, io.FileIO, io.TextIOWrapper, gzip.GzipFile)):
        name = getattr(fileobj, "name", None)
        if isinstance(name, str) and os.path.isfile(name):
            return name
    return None
