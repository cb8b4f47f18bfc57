"""pymatgen ``Structure`` objects for every step of a run, built without pymatgen's per-site constructor work.

A ``Structure`` built by its constructor costs about 0.4 ms for 64 atoms, nearly all of it in making each site
(its species, its coordinates, its properties) afresh. The sites of one run differ only in coordinates and
lattice: the factory builds the first structure through the constructor, keeps its species objects, and fills
later ones directly with the state the constructor would give them (the species objects shared, as
``Structure.copy`` shares them; the Cartesian coordinates left for the site to compute on first use, as a site
made from Cartesian input is). Before it trusts that shortcut it builds one structure both ways and compares
them; if this pymatgen version keeps its state in other attributes, every structure goes through the
constructor.
"""

import numpy as np
from pymatgen.core import Lattice, PeriodicSite, Structure

_SITE_STATE = ("_lattice", "_frac_coords", "_species", "_coords", "properties", "_label")
_STRUCTURE_STATE = ("_lattice", "_sites", "_charge", "_properties")


class StructureFactory:
    """Makes the Structures of one run: ``factory(lattice, positions, selective=None)``.

    ``lattice`` is a (3, 3) array of lattice vectors (rows), ``positions`` an (N, 3) array of fractional
    coordinates (kept as given, not wrapped into the cell), ``selective`` an (N, 3) bool array that becomes the
    site property ``selective_dynamics`` (lists of bools, as pymatgen's reader gives).
    """

    def __init__(self, species):
        self.species = list(species)
        self._compositions = None   # one per site, from the first structure, which the constructor builds

    def __call__(self, lattice, positions, selective=None):
        if self._compositions is None:
            first = self._construct(lattice, positions, selective)
            self._compositions = [site.species for site in first]
            if _shortcut[0] is None:
                _shortcut[0] = _trust(self, first, lattice, positions, selective)
            return first
        if not _shortcut[0]:
            return self._construct(lattice, positions, selective)
        return self._direct(lattice, positions, selective)

    def _construct(self, lattice, positions, selective):
        props = None if selective is None else {"selective_dynamics": np.asarray(selective, dtype=bool).tolist()}
        return Structure(Lattice(lattice), self.species, positions, site_properties=props)

    def _direct(self, lattice, positions, selective):
        lat = Lattice(lattice)
        positions = np.array(positions, dtype=np.float64)    # this structure's own copy; each site a row of it
        flags = None if selective is None else np.asarray(selective, dtype=bool).tolist()
        new_site = PeriodicSite.__new__
        set_state = object.__setattr__         # past PeriodicSite's own __setattr__, which only slows this down
        sites = []
        for i, species in enumerate(self._compositions):
            site = new_site(PeriodicSite)
            set_state(site, "__dict__", {"_lattice": lat, "_frac_coords": positions[i], "_species": species,
                                         "_coords": None,
                                         "properties": {} if flags is None else {"selective_dynamics": flags[i]},
                                         "_label": None})
            sites.append(site)
        structure = Structure.__new__(Structure)
        set_state(structure, "__dict__", {"_lattice": lat, "_sites": sites, "_charge": None, "_properties": {}})
        return structure


# Whether the shortcut gives what the constructor gives with this pymatgen: decided once per process.
_shortcut = [None]


def _trust(factory, reference, lattice, positions, selective):
    try:
        fast = factory._direct(lattice, positions, selective)
        if tuple(reference.__dict__) != _STRUCTURE_STATE or tuple(fast.__dict__) != _STRUCTURE_STATE:
            return False
        if any(tuple(s.__dict__) != _SITE_STATE for s in reference):
            return False
        return (len(fast) == len(reference) and fast.as_dict() == reference.as_dict()
                and fast.charge == reference.charge and fast.properties == reference.properties
                and np.array_equal(fast.lattice.matrix, reference.lattice.matrix)
                and np.array_equal(fast.frac_coords, reference.frac_coords)
                and np.array_equal(fast.cart_coords, reference.cart_coords)
                and all(a.species == b.species and a.properties == b.properties and a.label == b.label
                        for a, b in zip(fast, reference)))
    except Exception:       # another layout of pymatgen's objects: the constructor it is
        return False
