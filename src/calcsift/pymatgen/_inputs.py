"""The run's inputs as pymatgen objects: generator, incar and parameters (``Incar``), k-points (``Kpoints``),
atomic and POTCAR symbols."""

import math

from pymatgen.core import Element
from pymatgen.io.vasp.inputs import Incar, Kpoints, KpointsSupportedModes

KPOINTS_COMMENT = "Kpoints from vasprun.xml"

# A <separator> of <parameters> whose items only fill names the enclosing level does not have yet: VASP 5
# repeats NELM, OMEGAMAX and CSHIFT there with the values of a GW loop, and the run's are the earlier ones.
RESPONSE_FUNCTIONS = "response functions"


def item_value(kind, text, is_vector):
    """An <i> or <v> item typed by its ``type`` attribute as pymatgen's reader types it.

    Where pymatgen's reader fails (an int or float field printed as stars, ``1.0D+01``, an empty int), the value
    is the item's text as written, which ``Incar`` keeps as it is (``KINTER = "******"``); a float <v> item keeps
    its length, a star token being NaN.
    """
    try:
        if is_vector:
            tokens = text.split()
            if kind == "int":
                return [int(t) for t in tokens]
            if kind == "logical":
                return [t == "T" for t in tokens]
            if kind == "string":
                return tokens
            return [math.nan if "*" in t else float(t) for t in tokens]
        if kind == "string":
            return text
        if kind == "int":
            return int(text)
        if kind == "logical":
            return text == "T"
        return float(text)
    except ValueError:
        return text


def incar(items):
    """``Incar`` of the <incar> items (name, type, text, is_vector): a repeated name keeps its first position and
    its last value."""
    return Incar({name: item_value(kind, text, vec) for name, kind, text, vec in items})


def generator(items):
    """``Incar`` of the <generator> items (all text): ``generator["VERSION"]`` is ``vasp_version``."""
    return Incar(dict(items))


def parameters(items):
    """``Incar`` of every <parameters> item, separators flattened in file order (a repeated name: first position,
    last value), except that a "response functions" separator only adds names its enclosing level lacks."""
    return Incar(_level(items, 0, 0, len(items)))


def _level(items, depth, start, stop):
    out = {}
    i = start
    while i < stop:
        name, kind, text, vec, seps = items[i]
        if len(seps) == depth:
            out[name] = item_value(kind, text, vec)
            i += 1
            continue
        head = seps[:depth + 1]
        j = i + 1
        while j < stop and items[j][4][:depth + 1] == head:
            j += 1
        inner = _level(items, depth + 1, i, j)
        if head[-1] == RESPONSE_FUNCTIONS:
            for key, value in inner.items():
                out.setdefault(key, value)
        else:
            out.update(inner)
        i = j
    return out


def kpoints(block):
    """(Kpoints, actual_kpoints, actual_kpoints_weights) of a k-point block of calcsift's layout."""
    points = block["kpointlist"]
    weights = block["weights"]
    actual = [tuple(row) for row in points]
    actual_weights = list(weights)
    generation = block.get("generation")
    if generation is None:
        kp = Kpoints(comment=KPOINTS_COMMENT, num_kpts=1, style=KpointsSupportedModes.Reciprocal,
                     kpts=[tuple(row) for row in points], kpts_weights=list(weights))
        return kp, actual, actual_weights
    kp = Kpoints(comment=KPOINTS_COMMENT, style=KpointsSupportedModes.from_str(generation["param"]))
    extra = {}
    for name, value in generation.items():
        if not isinstance(value, list):
            continue
        if name == "divisions":
            kp.kpts = [tuple(int(x) for x in value)]
        elif name == "usershift":
            kp.kpts_shift = tuple(float(x) for x in value)
        elif name in ("genvec1", "genvec2", "genvec3", "shift"):
            extra[name] = [float(x) for x in value]
    for name, value in extra.items():
        setattr(kp, name, value)
    return kp, actual, actual_weights


# VASP's short names that are no element symbol.
_SYMBOLS = {"X": "Xe", "r": "Zr"}


def atomic_symbols(atoms):
    """Element symbols of the atoms (deuterium and tritium become H)."""
    cache = {}
    out = []
    for a in atoms:
        s = cache.get(a)
        if s is None:
            s = cache[a] = Element(_SYMBOLS.get(a.strip(), a.strip())).symbol
        out.append(s)
    return out


def potcar_symbols(atom_types):
    return [t["pseudopotential"] for t in atom_types]


def potcar_spec(symbols):
    return [{"titel": s, "hash": None, "summary_stats": {}} for s in symbols]
