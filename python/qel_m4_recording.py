"""Reads recordings of the arm's control cycles back as numpy arrays.

A recording is an HDF5 file written by InterfacesPy.start_recording (or
InterfacesThread::startRecording, qel-teach) or a fault dump: one dataset per
field, one row per control cycle, with its unit as an attribute, and the
arm's description as attributes of the file. docs/recording.md lists them.
A teleoperation episode (qel-teleop --record, docs/teleoperation.md) reads
the same way, one row per streamed leader cycle.

    rec = qel_m4.read_recording("teach.h5")     # or qel_m4_recording.read(...)
    q = rec["measured/position"]                # (cycles, 7) array, rad
    t = rec.time_s                              # seconds since the first cycle
    rec.units["measured/current"]               # 'current units'
    rec.lost                                    # cycles missing from the file

Needs h5py (Debian: python3-h5py), imported on the first read.
"""
import numpy


class Recording:
    """One recording in memory.

    data: dict of dataset path ('cycle', 'time/monotonic_ns',
    'measured/position', ...) to numpy array, first axis the cycles.
    units, descriptions: dict of dataset path to its unit and meaning.
    attrs: the file's attributes (library_version, robot_variant,
    joint_names, cycle_rate_hz, ...) as plain Python values.
    """

    def __init__(self, path, data, units, descriptions, attrs):
        self.path = path
        self.data = data
        self.units = units
        self.descriptions = descriptions
        self.attrs = attrs

    def __getitem__(self, name):
        return self.data[name]

    def __contains__(self, name):
        return name in self.data

    def keys(self):
        return self.data.keys()

    def _cycles(self):
        """The cycle numbers of the rows: a recording's own, or the leader's
        in an episode; None if the file has neither."""
        for name in ("cycle", "cycle/leader"):
            if name in self.data:
                return self.data[name]
        return None

    def __len__(self):
        """The number of cycles (rows) in the recording."""
        cycles = self._cycles()
        if cycles is not None:
            return len(cycles)
        return len(next(iter(self.data.values()))) if self.data else 0

    @property
    def joint_names(self):
        """Names of the seven entries of a per-motor row."""
        return list(self.attrs.get("joint_names", []))

    @property
    def time_s(self):
        """Cycle start times in seconds since the first recorded cycle
        (monotonic clock); an episode's own timestamps."""
        if "time/monotonic_ns" not in self.data and "timestamp" in self.data:
            return self.data["timestamp"]
        ns = self.data["time/monotonic_ns"]
        return (ns - ns[0]) * 1e-9 if len(ns) else numpy.zeros(0)

    @property
    def lost(self):
        """Cycles missing between the first and the last recorded one (in an
        episode: leader cycles that have no row)."""
        cycles = self._cycles()
        if cycles is None or len(cycles) < 2:
            return 0
        cycle = cycles.astype(numpy.int64)
        return int(numpy.sum(numpy.diff(cycle) - 1))

    def __repr__(self):
        return "Recording('%s', %d cycles, %d lost)" % (self.path, len(self), self.lost)


def _plain(value):
    """An attribute as h5py gives it, as a plain Python value."""
    if isinstance(value, bytes):
        return value.decode("utf-8")
    if isinstance(value, numpy.ndarray):
        if value.dtype.kind in ("O", "S", "U"):
            return [v.decode("utf-8") if isinstance(v, bytes) else str(v) for v in value.tolist()]
        return value.tolist()
    if isinstance(value, numpy.generic):
        return value.item()
    return value


def read(path):
    """Reads the HDF5 recording at `path` (str or os.PathLike) into a
    Recording. Raises OSError if the file cannot be read as HDF5."""
    import h5py

    data, units, descriptions = {}, {}, {}

    def visit(name, item):
        if isinstance(item, h5py.Dataset):
            data[name] = item[()]
            units[name] = _plain(item.attrs.get("unit", ""))
            descriptions[name] = _plain(item.attrs.get("description", ""))

    with h5py.File(path, "r") as f:
        f.visititems(visit)
        attrs = {key: _plain(value) for key, value in f.attrs.items()}
    return Recording(str(path), data, units, descriptions, attrs)
