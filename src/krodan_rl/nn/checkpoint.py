"""Checkpoints: plain arrays and JSON in one ``.npz`` file, written whole or not at all.

The arrays are the network's parameters (``params/NAME``) and, for a training, the optimizer's
state as its leaves in order (``opt/0``, ``opt/1``, ...); the JSON (``meta``, as UTF-8 bytes)
holds the format version, the network's configuration, the learner's step and whatever the
training adds (its random state, its iteration).

Loading reads a path from a command line, so it trusts nothing in the file and costs what the
network it declares costs, never more: only a regular file is opened; no pickle is read; the
zip directory is bounded in entries and bytes, as its end records declare them, before zipfile
reads it (``MAX_MEMBERS``); the meta is bounded in size and nesting; the network it declares
is bounded (``MAX_PARAMETERS``); every member's size, as the zip directory and then its array
header declare it, is checked against what that network expects before a byte of its data is
read, and a member the network does not expect is refused without being decompressed. The
optimizer's leaves are whatever the training's optimizer keeps, so they are bounded rather than
named: contiguous from ``opt/0``, none larger than the largest parameter, and together at most
``OPTIMIZER_FACTOR`` times the parameters (an Adam-like optimizer keeps two moments per
parameter and a step count). Every weight must be finite in float32. Whatever fails is a
ValueError naming the file and the field.
"""

from __future__ import annotations

import json
import math
import re
import zipfile
import zlib
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO, Any

import numpy as np
import numpy.typing as npt

from krodan_rl._internal import arguments
from krodan_rl._internal.files import NotRegularFile, open_regular, write_atomic_bytes
from krodan_rl.nn.config import FORMAT_VERSION, NetworkConfig
from krodan_rl.nn.forward import Params, param_shapes
from krodan_rl.nn.zip_directory import directory_size

__all__ = [
    "MAX_DIRECTORY_BYTES",
    "MAX_MEMBERS",
    "MAX_META_BYTES",
    "MAX_META_DEPTH",
    "MAX_PARAMETERS",
    "OPTIMIZER_FACTOR",
    "Checkpoint",
    "check_network",
    "load",
    "save",
]

Array = npt.NDArray[Any]

#: The largest network a checkpoint may declare, in parameters (256 MiB of float32): far
#: beyond what this board needs, and a bound on what a small, lying file can make us allocate.
MAX_PARAMETERS = 2**26
#: The meta's bounds: its JSON in bytes, and how deeply its objects and lists nest.
MAX_META_BYTES = 2**20
MAX_META_DEPTH = 32
#: The optimizer's leaves, at most this many times the parameters (in elements and in arrays).
OPTIMIZER_FACTOR = 4
MAX_STEP = 2**63 - 1
#: The zip directory's bounds, checked from its end records before zipfile reads it (which it
#: does whole on opening, into objects of some hundreds of bytes an entry: a small file of
#: empty entries would cost several times its size). A checkpoint of the deepest network its
#: configuration allows has 1,360 members (271 parameters with both optional heads, 4
#: optimizer leaves for each and one more, the meta), named in under 40 bytes; an entry takes 46
#: bytes, its name and at most 32 of zip64 extras, half the 256 allowed here.
MAX_MEMBERS = 4096
MAX_DIRECTORY_BYTES = MAX_MEMBERS * 256
# Room for an array member's magic and header (numpy writes 128 bytes; it reads at most 10000).
HEADER_BYTES = 16384
MAX_ITEMSIZE = 8
READ_CHUNK = 2**20
FLOAT32_MAX = float(np.finfo(np.float32).max)


@dataclass
class Checkpoint:
    params: Params
    config: NetworkConfig
    step: int = 0
    opt_leaves: list[Array] = field(default_factory=list)
    meta: dict[str, Any] = field(default_factory=dict)


def save(path: str | Path, checkpoint: Checkpoint) -> None:
    """Writes ``checkpoint`` to ``path``: a temporary file flushed to disk, then renamed."""
    target = Path(path)
    meta = {
        **checkpoint.meta,
        "format": FORMAT_VERSION,
        "config": checkpoint.config.to_dict(),
        "step": checkpoint.step,
    }
    arrays = {f"params/{name}": np.asarray(v) for name, v in checkpoint.params.items()}
    arrays.update({f"opt/{k}": np.asarray(v) for k, v in enumerate(checkpoint.opt_leaves)})
    arrays["meta"] = np.frombuffer(json.dumps(meta, sort_keys=True).encode(), dtype=np.uint8)
    write_atomic_bytes(target, lambda file: np.savez(file, **arrays))  # type: ignore[arg-type]


def load(path: str | Path) -> Checkpoint:
    """The checkpoint at ``path``; ValueError naming it and what is wrong when it is not one
    this package wrote (not a regular file, not a zip of plain arrays, of another format
    version, beyond the bounds above, or with arrays that do not fit its configuration)."""
    source = Path(path)
    with _open_regular_file(source) as file:
        _check_directory(source, file)
        try:
            archive = zipfile.ZipFile(file)
        except (zipfile.BadZipFile, OSError, EOFError, ValueError, NotImplementedError) as error:
            raise _refused(source, f"not a readable checkpoint: {error}") from None
        with archive:
            return _read(source, archive)


@dataclass(frozen=True)
class _Slot:
    """What one member may hold: an array of one of the dtype ``kinds`` ("f" float, "u"
    unsigned, ...), of at most ``itemsize`` bytes an element, of ``shape`` exactly or, for None,
    of any shape of at most ``count`` elements."""

    kinds: str
    count: int
    shape: tuple[int, ...] | None = None
    itemsize: int = MAX_ITEMSIZE

    @property
    def bytes(self) -> int:
        """The most the member may take uncompressed, its header included."""
        return HEADER_BYTES + self.count * self.itemsize


META_SLOT = _Slot("u", MAX_META_BYTES, itemsize=1)  # UTF-8 bytes
LEAF_KINDS = "biuf"  # an optimizer's leaves: counts and moments
LEAF_NAME = re.compile(r"opt/(0|[1-9][0-9]*)")  # as ``save`` writes them


def _refused(source: Path, why: str) -> ValueError:
    return ValueError(f"{source}: {why}")


@contextmanager
def _open_regular_file(source: Path) -> Iterator[IO[bytes]]:
    """The file, refused unless it is a regular file (``files.open_regular``)."""
    try:
        with open_regular(source) as file:
            yield file
    except NotRegularFile:
        raise _refused(source, "not a regular file") from None
    except OSError as error:
        raise _refused(source, f"not a readable checkpoint: {error}") from None


def _check_directory(source: Path, file: IO[bytes]) -> None:
    """Refuses a zip directory of more entries or bytes than a checkpoint's, as its end records
    declare them, before zipfile reads it (see ``MAX_MEMBERS``). A file with no end record is
    left to zipfile, which refuses it."""
    try:
        declared = directory_size(file)
    except OSError as error:
        raise _refused(source, f"not a readable checkpoint: {error}") from None
    if declared is None:
        return
    entries, size = declared
    if entries > MAX_MEMBERS:
        why = f"its zip directory lists {entries} members; a checkpoint has at most {MAX_MEMBERS}"
        raise _refused(source, why)
    if size > MAX_DIRECTORY_BYTES:
        why = f"its zip directory takes {size} bytes; a checkpoint's takes at most "
        raise _refused(source, why + str(MAX_DIRECTORY_BYTES))


def _read(source: Path, archive: zipfile.ZipFile) -> Checkpoint:
    members = _members(source, archive)
    if "meta" not in members:
        raise _refused(source, "not a checkpoint (no meta)")
    meta = _parse_meta(source, _read_member(source, archive, members.pop("meta"), META_SLOT))
    config = _config_of(source, meta)
    step = _step_of(source, meta)
    shapes = param_shapes(config)
    slots = _slots(source, shapes, members)
    for key, info in members.items():  # every size checked before any array is read
        _check_declared_size(source, info, slots[key])
    params = {}
    for name in shapes:
        key = f"params/{name}"
        stored = _finite(source, key, _read_member(source, archive, members[key], slots[key]))
        params[name] = stored.astype(np.float32)
    leaves = _read_leaves(source, archive, members, slots, _size(shapes))
    rest = {k: v for k, v in meta.items() if k not in ("format", "config", "step")}
    return Checkpoint(params, config, step, leaves, rest)


def _size(shapes: dict[str, tuple[int, ...]]) -> int:
    """How many numbers arrays of these shapes hold."""
    return sum(math.prod(shape) for shape in shapes.values())


def _members(source: Path, archive: zipfile.ZipFile) -> dict[str, zipfile.ZipInfo]:
    """The archive's members by array name, refused before any is read when one is not an
    array a checkpoint holds, is stored twice, encrypted or compressed in a way numpy never
    writes."""
    members: dict[str, zipfile.ZipInfo] = {}
    for info in archive.infolist():
        key = info.filename.removesuffix(".npy")
        named = key == "meta" or key.startswith("params/") or LEAF_NAME.fullmatch(key)
        if not info.filename.endswith(".npy") or not named:
            raise _refused(source, f"member {info.filename!r} is not part of a checkpoint")
        if key in members:
            raise _refused(source, f"member {info.filename!r} is stored twice")
        if info.flag_bits & 0x1:
            raise _refused(source, f"member {info.filename!r} is encrypted")
        if info.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
            raise _refused(source, f"member {info.filename!r} uses an unknown compression")
        members[key] = info
    return members


def _parse_meta(source: Path, raw: Array) -> dict[str, Any]:
    try:
        meta = json.loads(raw.tobytes().decode())
    except (ValueError, RecursionError) as error:  # UnicodeDecodeError is a ValueError
        raise _refused(source, f"not a checkpoint (its meta is unreadable: {error})") from None
    if not isinstance(meta, dict):
        raise _refused(source, f"not a checkpoint (its meta is a {type(meta).__name__})")
    if _depth(meta) > MAX_META_DEPTH:
        raise _refused(source, f"its meta nests deeper than {MAX_META_DEPTH} levels")
    version = meta.get("format")
    # An int, not what merely equals one: JSON's true and 1.0 are not format 1.
    if type(version) is not int or version != FORMAT_VERSION:
        raise _refused(
            source, f"checkpoint format {version!r}; this package reads {FORMAT_VERSION}"
        )
    return meta


def _depth(value: Any) -> int:
    """How deeply lists and objects nest in parsed JSON (0 for a scalar), without recursing."""
    deepest, pending = 0, [(value, 1)]
    while pending:
        item, depth = pending.pop()
        if isinstance(item, (dict, list)):
            deepest = max(deepest, depth)
            children = item.values() if isinstance(item, dict) else item
            pending.extend((child, depth + 1) for child in children)
    return deepest


def _config_of(source: Path, meta: dict[str, Any]) -> NetworkConfig:
    values = meta.get("config")
    if not isinstance(values, dict):
        raise _refused(source, f"meta field 'config' is not an object: {values!r:.40}")
    try:
        config = NetworkConfig.from_dict(values)
    except (TypeError, ValueError) as error:
        raise _refused(source, f"meta field 'config': {error}") from None
    try:
        check_network(config)
    except ValueError as error:
        raise _refused(source, f"meta field 'config' declares {error}") from None
    return config


def check_network(config: NetworkConfig) -> None:
    """ValueError for a network too large for a checkpoint to hold (checked before a training
    starts, so that it never writes a checkpoint it cannot load back)."""
    count = _size(param_shapes(config))
    if count > MAX_PARAMETERS:
        raise ValueError(
            f"a network of {count} parameters; checkpoints hold at most {MAX_PARAMETERS}"
        )


def _step_of(source: Path, meta: dict[str, Any]) -> int:
    try:
        return arguments.integer(meta.get("step", 0), "step", minimum=0, maximum=MAX_STEP)
    except (TypeError, ValueError) as error:
        raise _refused(source, f"meta field 'step': {error}") from None


def _slots(
    source: Path, shapes: dict[str, tuple[int, ...]], members: dict[str, zipfile.ZipInfo]
) -> dict[str, _Slot]:
    """What each array member may hold, given the network's parameter shapes; refuses missing
    or unexpected parameters, a gap in the optimizer's leaves, or too many of them."""
    stored = {k.removeprefix("params/") for k in members if k.startswith("params/")}
    wrong = sorted(f"params/{name}" for name in stored ^ shapes.keys())
    if wrong:
        raise _refused(source, f"parameters that do not fit its network: {wrong[:4]}")
    slots = {f"params/{k}": _Slot("f", math.prod(shape), shape) for k, shape in shapes.items()}
    count = sum(key.startswith("opt/") for key in members)
    gaps = [f"opt/{k}" for k in range(count) if f"opt/{k}" not in members]
    if gaps:
        raise _refused(source, f"the optimizer's leaves skip {gaps[0]}")
    if count > OPTIMIZER_FACTOR * (len(shapes) + 1):
        raise _refused(
            source,
            f"{count} optimizer leaves; its network allows at most "
            f"{OPTIMIZER_FACTOR * (len(shapes) + 1)}",
        )
    largest = max(math.prod(shape) for shape in shapes.values())
    slots.update({f"opt/{k}": _Slot(LEAF_KINDS, largest) for k in range(count)})
    declared = sum(members[f"opt/{k}"].file_size for k in range(count))
    if declared > count * HEADER_BYTES + OPTIMIZER_FACTOR * _size(shapes) * MAX_ITEMSIZE:
        raise _refused(source, "the optimizer's leaves declare more bytes than its network allows")
    return slots


def _read_leaves(
    source: Path,
    archive: zipfile.ZipFile,
    members: dict[str, zipfile.ZipInfo],
    slots: dict[str, _Slot],
    parameters: int,
) -> list[Array]:
    """The optimizer's leaves in order, together at most ``OPTIMIZER_FACTOR`` times the
    parameters' count."""
    leaves: list[Array] = []
    budget = OPTIMIZER_FACTOR * parameters
    for k in range(sum(key.startswith("opt/") for key in members)):
        key = f"opt/{k}"
        slot = _Slot(LEAF_KINDS, min(slots[key].count, budget))
        leaf = _finite(source, key, _read_member(source, archive, members[key], slot))
        budget -= leaf.size
        leaves.append(leaf)
    return leaves


def _read_member(
    source: Path, archive: zipfile.ZipFile, info: zipfile.ZipInfo, slot: _Slot
) -> Array:
    """The member's array, its sizes (the zip directory's, then its header's) checked against
    ``slot`` before its data is read."""
    key = info.filename.removesuffix(".npy")
    _check_declared_size(source, info, slot)
    try:
        with archive.open(info) as stream:
            dtype, shape, fortran = _header(source, key, stream)
            _check_fits(source, key, dtype, shape, slot)
            return _data(source, key, stream, dtype, shape, fortran)
    # NotImplementedError: a local header asking for a zip feature numpy never writes.
    except (zipfile.BadZipFile, OSError, EOFError, zlib.error, NotImplementedError) as error:
        raise _refused(source, f"{key} is damaged: {error}") from None


def _check_declared_size(source: Path, info: zipfile.ZipInfo, slot: _Slot) -> None:
    """Refuses a member whose size in the zip directory exceeds its slot, before it is opened
    (a small deflated member may declare gigabytes)."""
    if info.file_size > slot.bytes:
        key = info.filename.removesuffix(".npy")
        raise _refused(source, f"{key} declares {info.file_size} bytes, beyond its bound")


def _header(source: Path, key: str, stream: IO[bytes]) -> tuple[np.dtype[Any], Any, bool]:
    """An array member's dtype, shape and order, from its header alone."""
    fmt = np.lib.format
    try:
        version = fmt.read_magic(stream)
        if version not in ((1, 0), (2, 0)):  # 3.0 is for structured dtypes, never ours
            raise ValueError(f"header version {version}")
        read = fmt.read_array_header_1_0 if version == (1, 0) else fmt.read_array_header_2_0
        shape, fortran, dtype = read(stream)
    except (ValueError, TypeError, SyntaxError) as error:
        raise _refused(source, f"{key} is not a plain array: {error}") from None
    return dtype, shape, fortran


def _check_fits(source: Path, key: str, dtype: np.dtype[Any], shape: Any, slot: _Slot) -> None:
    if dtype.kind not in slot.kinds or dtype.itemsize > slot.itemsize or dtype.shape:
        raise _refused(source, f"{key} holds {dtype}, not numbers of the kinds {slot.kinds!r}")
    if slot.shape is not None and tuple(shape) != slot.shape:
        raise _refused(
            source,
            f"parameters that do not fit its network: {key} has shape {tuple(shape)}, its "
            f"network {slot.shape}",
        )
    if any(size < 0 for size in shape) or math.prod(shape) > slot.count:
        raise _refused(source, f"{key} declares shape {tuple(shape)}, beyond its bound")


def _data(
    source: Path, key: str, stream: IO[bytes], dtype: np.dtype[Any], shape: Any, fortran: bool
) -> Array:
    """The array's data, read in chunks into a buffer of its own; refused when short or when
    more follows (reading to the end also has the zip check the member's CRC)."""
    raw = bytearray(math.prod(shape) * dtype.itemsize)  # writable, as np.load's arrays are
    view = memoryview(raw)
    filled = 0
    while filled < len(view):
        got = stream.readinto(view[filled : filled + READ_CHUNK])  # type: ignore[attr-defined]
        if not got:
            raise _refused(source, f"{key} is truncated")
        filled += got
    if stream.read(1):
        raise _refused(source, f"{key} holds more bytes than its header declares")
    array = np.frombuffer(raw, dtype).reshape(shape, order="F" if fortran else "C")
    return array.astype(dtype.newbyteorder("="), copy=False)


def _finite(source: Path, key: str, array: Array) -> Array:
    """``array`` when its floats are finite and within float32's range (the network's)."""
    if array.dtype.kind == "f" and array.size:
        if np.isnan(array).any():
            raise _refused(source, f"{key} holds NaN")
        if np.isinf(array).any():
            raise _refused(source, f"{key} holds inf")
        if array.dtype.itemsize > 4 and np.abs(array).max() > FLOAT32_MAX:
            raise _refused(source, f"{key} holds values beyond float32's range")
    return array
