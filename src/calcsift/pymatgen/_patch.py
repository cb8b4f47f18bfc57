"""``patch()``: pymatgen's own ``Vasprun`` and ``BSVasprun`` construct through calcsift.

The constructors are replaced on the classes themselves, so every name bound to them sees the change:
``from pymatgen.io.vasp import Vasprun`` done before the patch, ``pymatgen.io.vasp.outputs.Vasprun``,
subclasses that call ``super().__init__``, pymatgen's own helpers that build a ``Vasprun``. Objects keep their
class (``type(v) is pymatgen.io.vasp.Vasprun``); only the parse is calcsift's. Arguments the replacement does not
know (a later pymatgen's new keyword) go to pymatgen's own constructor unchanged.
"""

import contextlib
import functools
import inspect
import threading

from pymatgen.io.vasp import outputs

from ._runs import fill_bsvasprun, fill_vasprun

_lock = threading.Lock()
_saved: dict = {}   # class -> pymatgen's own __init__, while patched


def original_init(cls):
    """pymatgen's own constructor of ``cls`` (outputs.Vasprun or outputs.BSVasprun), patched or not."""
    return _saved.get(cls, cls.__dict__["__init__"])


def pymatgen_init(cls):
    """A call of pymatgen's own constructor of ``cls``: what reads a run calcsift cannot give as pymatgen would."""
    def call(obj, filename, **options):
        original_init(cls)(obj, filename, **options)
    return call


_FILL = {"Vasprun": fill_vasprun, "BSVasprun": fill_bsvasprun}


def _replacement(cls, own):
    fill = _FILL[cls.__name__]
    ours = inspect.signature(fill)
    known = {n for n, p in ours.parameters.items() if p.kind is p.POSITIONAL_OR_KEYWORD}
    theirs = inspect.signature(own)
    fallback = pymatgen_init(cls)

    @functools.wraps(own)
    def __init__(self, *args, **kwargs):
        try:
            bound = theirs.bind(self, *args, **kwargs)
        except TypeError:
            return own(self, *args, **kwargs)       # pymatgen's own error for a wrong call
        bound.apply_defaults()
        arguments = dict(bound.arguments)
        del arguments[next(iter(theirs.parameters))]
        if not set(arguments) <= known:
            return own(self, *args, **kwargs)
        fill(self, **arguments, fallback=fallback)

    return __init__


def patch():
    """From now on pymatgen's ``Vasprun`` and ``BSVasprun`` read through calcsift (however they were imported).
    Undo with ``unpatch()``; ``patched()`` does both around a block. Calling it again changes nothing."""
    with _lock:
        for cls in (outputs.Vasprun, outputs.BSVasprun):
            if cls not in _saved and "__init__" in cls.__dict__:
                own = cls.__dict__["__init__"]
                _saved[cls] = own
                cls.__init__ = _replacement(cls, own)


def unpatch():
    """pymatgen's own constructors again (after ``patch()``; otherwise nothing happens)."""
    with _lock:
        for cls, own in list(_saved.items()):
            cls.__init__ = own
            del _saved[cls]


def is_patched():
    return bool(_saved)


@contextlib.contextmanager
def patched():
    """``with calcsift.pymatgen.patched(): ...``: the block reads through calcsift; afterwards the constructors are
    as they were before it (still patched if ``patch()`` had been called before, so blocks nest)."""
    was = is_patched()
    patch()
    try:
        yield
    finally:
        if not was:
            unpatch()
