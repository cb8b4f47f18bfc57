"""pymatgen's run readers, read by calcsift: ``Vasprun``, ``BSVasprun``, ``to_pymatgen`` and ``patch()``.

``calcsift.pymatgen.Vasprun`` and ``BSVasprun`` are subclasses of pymatgen's (``isinstance(v,
pymatgen.io.vasp.Vasprun)`` holds) with the same constructor arguments. They do not run pymatgen's parse: they
fill every attribute it sets from calcsift's, with its types and values, so that pymatgen's own properties and
methods (``get_band_structure``, ``complete_dos``, ``get_computed_entry``, ``as_dict``, ...) work on them
unchanged. ``patch()`` makes pymatgen's own classes construct this way, for code that cannot be edited.

Where the two readers part:

- An int or float item of <incar> or <parameters> that VASP overflowed (``KINTER = ******``), which pymatgen's
  reader cannot read (ValueError), loads: the item is its text, ``"******"``.
- A run record VASP did not close (a run cut short or still running) raises ``CutRecordError``, an lxml
  ``XMLSyntaxError`` as pymatgen's reader raises, and a ``calcsift.VasprunError``; with
  ``exception_on_bad_xml=False`` its complete calculations are read (``calcsift.read_partial``) with a
  ``UserWarning``. ``BSVasprun`` has no such option and always raises, as pymatgen's does.
- A file calcsift cannot read (a compression other than gzip, a malformed number) or a selection this layer
  cannot give (ionic_step_skip keeping a block of a calculation that is not the last to hold one) is read by
  pymatgen's own parse: pymatgen's result at pymatgen's speed.
- Warnings have pymatgen's categories (``UnconvergedVASPWarning``, ``UserWarning``) on the same occasions, with
  texts of their own; ``****`` fields read as NaN without pymatgen's "Float overflow" warning.
"""

from pymatgen.io.vasp import outputs as _outputs

from ._patch import is_patched, patch, patched, pymatgen_init, unpatch
from ._runs import CutRecordError, fill_bsvasprun, fill_vasprun

__all__ = ["Vasprun", "BSVasprun", "CutRecordError", "to_pymatgen", "patch", "unpatch", "patched", "is_patched"]


class Vasprun(_outputs.Vasprun):
    """pymatgen's ``Vasprun`` read by calcsift (see the module's documentation)."""

    def __init__(self, filename, ionic_step_skip=None, ionic_step_offset=0, parse_dos=True, parse_eigen=True,
                 parse_projected_eigen=False, parse_potcar_file=True, occu_tol=1e-08, separate_spins=False,
                 exception_on_bad_xml=True):
        fill_vasprun(self, filename, ionic_step_skip, ionic_step_offset, parse_dos, parse_eigen,
                     parse_projected_eigen, parse_potcar_file, occu_tol, separate_spins, exception_on_bad_xml,
                     fallback=pymatgen_init(_outputs.Vasprun))


class BSVasprun(_outputs.BSVasprun):
    """pymatgen's ``BSVasprun`` read by calcsift (see the module's documentation)."""

    def __init__(self, filename, parse_projected_eigen=False, parse_potcar_file=False, occu_tol=1e-08,
                 separate_spins=False):
        fill_bsvasprun(self, filename, parse_projected_eigen, parse_potcar_file, occu_tol, separate_spins,
                       fallback=pymatgen_init(_outputs.BSVasprun))


def to_pymatgen(path, *, ionic_step_skip=None, ionic_step_offset=0, **options):
    """The run at ``path`` as ``calcsift.pymatgen.Vasprun`` (options as its constructor's)."""
    return Vasprun(path, ionic_step_skip=ionic_step_skip, ionic_step_offset=ionic_step_offset, **options)
