"""Loading a checkpoint trusts nothing in the file: damaged, lying or non-finite files are
refused with a ValueError naming the file and the field, bomb-like files (a zip directory larger
than a checkpoint's among them) are refused before they cost memory, a FIFO is refused without
blocking, and sound checkpoints load as saved. Model specs name checkpoints by their paths."""

import io
import json
import os
import re
import struct
import subprocess
import sys
import textwrap
import threading
import zipfile
from pathlib import Path

import numpy as np
import pytest

from krodan_rl import models, players
from krodan_rl.nn import checkpoint
from krodan_rl.nn.config import NetworkConfig
from krodan_rl.nn.forward import init_params, param_shapes

ROOT = Path(__file__).resolve().parents[2]
CONFIG = NetworkConfig(width=8, blocks=1, value_hidden=8)
SOUND_META = {"format": 1, "config": CONFIG.to_dict(), "step": 7}


def adam_like_leaves(params):
    """What the training's optimizer keeps: a step count and two moments per parameter."""
    moments = [np.full_like(v, 0.5) for v in params.values()]
    return [np.array(3, np.int32), *moments, *moments]


def sound_arrays():
    """The arrays of a sound checkpoint of ``CONFIG``, as ``save`` names them."""
    params = init_params(CONFIG, 0)
    arrays = {f"params/{k}": v for k, v in params.items()}
    arrays.update({f"opt/{k}": v for k, v in enumerate(adam_like_leaves(params))})
    arrays["meta"] = meta_bytes(json.dumps(SOUND_META))
    return arrays


def meta_bytes(text):
    return np.frombuffer(text.encode(), np.uint8)


def with_meta(**fields):
    return replaced("meta", meta_bytes(json.dumps({**SOUND_META, **fields})))


def replaced(key, value):
    return lambda arrays: {**arrays, key: value}


def without(key):
    return lambda arrays: {k: v for k, v in arrays.items() if k != key}


def array_member(header, data=b"\0" * 16):
    """An .npy member whose header says what the caller wants, whatever data follows."""
    stream = io.BytesIO()
    np.lib.format.write_array_header_2_0(stream, header)
    return stream.getvalue() + data


def zipped(arrays):
    """An .npz of ``arrays``, as bytes; a bytes value is a member's raw content."""
    stream = io.BytesIO()
    with zipfile.ZipFile(stream, "w") as archive:
        for name, value in arrays.items():
            if isinstance(value, bytes):
                archive.writestr(f"{name}.npy", value)
            else:
                with archive.open(f"{name}.npy", "w") as member:
                    np.lib.format.write_array(member, np.asarray(value), allow_pickle=False)
    return stream.getvalue()


def write(path, content):
    """Writes arrays (a dict, as ``zipped``) or the bytes given."""
    path.write_bytes(content if isinstance(content, bytes) else zipped(content))


STEM = "params/stem/w"
STEM_SHAPE = param_shapes(CONFIG)["stem/w"]
HUGE = array_member({"descr": "<f4", "fortran_order": False, "shape": (10**12,)})
SHORT = array_member({"descr": "<f4", "fortran_order": False, "shape": STEM_SHAPE})
# What JSON cannot say, but a hand-written meta can: a number beyond a float's range.
STEP_1E400 = meta_bytes(json.dumps(SOUND_META).replace('"step": 7', '"step": 1e400'))
LEAVES_200 = {f"opt/{k}": np.zeros(1) for k in range(200)}
BIG_NETWORK = {"width": 1024, "blocks": 64, "value_hidden": 8, "value_mode": "win_share"}

DAMAGED = [
    ("not a zip", lambda arrays: b"not a zip at all", "not a readable checkpoint"),
    ("truncated", lambda arrays: zipped(arrays)[: len(zipped(arrays)) // 2], "not a readable"),
    ("missing meta", without("meta"), "no meta"),
    ("meta not JSON", replaced("meta", meta_bytes("{not json")), "meta is unreadable"),
    ("meta not UTF-8", replaced("meta", np.array([0xFF, 0xFE], np.uint8)), "meta is unreadable"),
    ("meta a list", replaced("meta", meta_bytes("[1, 2]")), "meta is a list"),
    ("meta as floats", replaced("meta", np.zeros(4, np.float32)), "meta holds float32"),
    ("deep meta", replaced("meta", meta_bytes("[" * 100_000 + "]" * 100_000)), "meta is unread"),
    ("meta nested 40 deep", with_meta(extra=json.loads("[" * 40 + "]" * 40)), "nests deeper"),
    ("step 1e400", replaced("meta", STEP_1E400), "meta field 'step'"),
    ("step a string", with_meta(step="7"), "meta field 'step'"),
    ("format true", with_meta(format=True), "checkpoint format True; this package reads 1"),
    ("format 1.0", with_meta(format=1.0), "checkpoint format 1.0; this package reads 1"),
    ("step negative", with_meta(step=-1), "meta field 'step'"),
    ("config a list", with_meta(config=[8, 1]), "meta field 'config'"),
    ("config width a string", with_meta(config={"width": "8"}), "meta field 'config'"),
    ("width 1024 x 64 blocks", with_meta(config=BIG_NETWORK), "meta field 'config' declares"),
    ("gap in opt leaves", without("opt/1"), "skip opt/1"),
    ("opt leaf a zero-padded index", replaced("opt/007", np.zeros(1)), "'opt/007.npy' is not"),
    ("too many opt leaves", lambda arrays: {**arrays, **LEAVES_200}, "optimizer leaves"),
    ("opt leaf larger than any parameter", replaced("opt/3", np.zeros(10_000)), "opt/3 declares"),
    ("param of wrong shape", replaced(STEM, np.zeros((3, 3, 12, 4), np.float32)), "do not fit"),
    ("param of wrong dtype", replaced(STEM, np.zeros(STEM_SHAPE, np.complex64)), STEM),
    ("param as text", replaced(STEM, np.full(STEM_SHAPE, "a")), STEM),
    ("param missing", without("params/policy/b"), "params/policy/b"),
    ("param not of its network", replaced("params/extra/w", np.zeros(2)), "params/extra/w"),
    ("extra member", replaced("notes", np.zeros(2)), "'notes.npy' is not part"),
    ("huge declared array", replaced(STEM, HUGE), STEM),
    ("param short of its header", replaced(STEM, SHORT), f"{STEM} is truncated"),
    ("param NaN", replaced(STEM, np.full(STEM_SHAPE, np.nan, np.float32)), f"{STEM} holds NaN"),
    ("param inf", replaced("params/policy/b", np.full(91, -np.inf, np.float32)), "b holds inf"),
    ("param beyond float32", replaced(STEM, np.full(STEM_SHAPE, 1e300)), "beyond float32"),
    ("opt leaf NaN", replaced("opt/2", np.full(8, np.nan, np.float32)), "opt/2 holds NaN"),
]


@pytest.mark.parametrize(
    ("damage", "expected"),
    [pytest.param(damage, expected, id=kind) for kind, damage, expected in DAMAGED],
)
def test_a_damaged_checkpoint_is_refused_naming_the_file_and_what_is_wrong(
    tmp_path, damage, expected
):
    path = tmp_path / "ck.npz"
    write(path, damage(sound_arrays()))
    with pytest.raises(ValueError) as refused:
        checkpoint.load(path)
    assert str(refused.value).startswith(f"{path}: ")
    assert expected in str(refused.value)


def deflated_zeros_member(path, name, size):
    """Appends a member of ``size`` zero bytes, deflated to a few MB: a zip bomb."""
    chunk = bytes(2**24)
    with (
        zipfile.ZipFile(path, "a", zipfile.ZIP_DEFLATED, compresslevel=1) as archive,
        archive.open(name, "w") as member,
    ):
        for _ in range(size // len(chunk)):
            member.write(chunk)


def test_bomb_like_checkpoints_are_refused_before_they_cost_memory(tmp_path):
    bomb = tmp_path / "bomb.npz"
    write(bomb, sound_arrays())
    deflated_zeros_member(bomb, "unused.npy", 2**30)
    assert bomb.stat().st_size < 8 * 2**20
    big = tmp_path / "big.npz"
    write(big, with_meta(config=BIG_NETWORK)(sound_arrays()))
    huge = tmp_path / "huge.npz"
    write(huge, replaced(STEM, HUGE)(sound_arrays()))
    script = textwrap.dedent(
        """
        import resource, sys
        from krodan_rl.nn import checkpoint
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for path in sys.argv[1:]:
            try:
                checkpoint.load(path)
            except ValueError as error:
                print("refused:", error)
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
        """
    )
    paths = [str(bomb), str(big), str(huge)]
    done = subprocess.run(
        [sys.executable, "-c", script, *paths], capture_output=True, text=True, check=True
    )
    *refusals, growth_mb = done.stdout.splitlines()
    assert [line.split(":")[1].strip() for line in refusals] == paths
    assert int(growth_mb) < 300, done.stdout


# A central directory entry of an empty member with an empty name: 46 bytes.
EMPTY_ENTRY = struct.pack("<4s4B4HL2L5H2L", b"PK\x01\x02", 20, 3, 20, 0, *[0] * 14)
ENTRIES_OVER_BYTES = checkpoint.MAX_DIRECTORY_BYTES // len(EMPTY_ENTRY) + 1


def bare_directory(entries, *, count=None, zip64=False):
    """A zip of ``entries`` empty members, its central directory alone (all that zipfile reads
    on opening), its end record declaring ``count`` of them (default: all); with ``zip64``, a
    zip64 end record declares them all and the plain one a single entry."""
    directory = EMPTY_ENTRY * entries
    count, size, zip64_records = entries if count is None else count, len(directory), b""
    if zip64:
        zip64_records = struct.pack(
            "<4sQ2H2L4Q", b"PK\x06\x06", 44, 45, 45, 0, 0, entries, entries, size, 0
        ) + struct.pack("<4sLQL", b"PK\x06\x07", 0, size, 1)
        count, size = 1, len(EMPTY_ENTRY)
    end = struct.pack("<4s4H2LH", b"PK\x05\x06", 0, 0, count, count, size, 0, 0)
    return directory + zip64_records + end


@pytest.mark.parametrize(
    ("content", "expected"),
    [
        pytest.param(
            bare_directory(checkpoint.MAX_MEMBERS + 1),
            f"lists {checkpoint.MAX_MEMBERS + 1} members",
            id="more members than a checkpoint has",
        ),
        pytest.param(
            bare_directory(ENTRIES_OVER_BYTES, count=1),
            f"takes {ENTRIES_OVER_BYTES * len(EMPTY_ENTRY)} bytes",
            id="more bytes than a checkpoint's, one member declared",
        ),
        pytest.param(
            bare_directory(checkpoint.MAX_MEMBERS + 1, zip64=True),
            f"lists {checkpoint.MAX_MEMBERS + 1} members",
            id="more members in the zip64 end record",
        ),
    ],
)
def test_a_zip_directory_larger_than_a_checkpoints_is_refused_before_it_is_read(
    tmp_path, content, expected
):
    """zipfile reads a directory whole into objects many times its size: refused unread."""
    path = tmp_path / "ck.npz"
    write(path, content)
    with pytest.raises(ValueError, match=f"^{re.escape(str(path))}: its zip directory {expected}"):
        checkpoint.load(path)


@pytest.mark.parametrize("zip64", [False, True], ids=["zip end record", "zip64 end records"])
def test_a_checkpoint_of_the_deepest_network_fits_the_directory_bounds(
    tmp_path, monkeypatch, zip64
):
    """Every member a checkpoint may have, as ``save`` names them, with the zip64 end records
    that zipfile writes for a large file (forced here for a small one) or without."""
    config = NetworkConfig(width=1, blocks=64, value_hidden=1)
    leaves = [np.zeros(1, np.float32)] * (
        checkpoint.OPTIMIZER_FACTOR * (len(param_shapes(config)) + 1)
    )
    if zip64:
        monkeypatch.setattr(zipfile, "ZIP_FILECOUNT_LIMIT", 0)
    path = tmp_path / "ck.npz"
    checkpoint.save(path, checkpoint.Checkpoint(init_params(config, 0), config, 1, leaves))
    zip64_record_at = -(22 + 20 + 56)  # before the zip64 locator and the end record
    assert path.read_bytes()[zip64_record_at:].startswith(b"PK\x06\x06") == zip64
    assert len(checkpoint.load(path).opt_leaves) == len(leaves)


def test_a_fifo_is_refused_without_blocking(tmp_path):
    fifo = tmp_path / "pipe.npz"
    os.mkfifo(fifo)
    outcome = []

    def load():
        try:
            checkpoint.load(fifo)
        except ValueError as error:
            outcome.append(str(error))

    loading = threading.Thread(target=load, daemon=True)
    loading.start()
    loading.join(timeout=10)
    if loading.is_alive():  # blocked in open: release it with a writer before failing
        os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
        loading.join(timeout=10)
        pytest.fail("loading a FIFO blocked")
    assert outcome == [f"{fifo}: not a regular file"]


@pytest.mark.parametrize("spec", ["guided:ck.npz:4", "policy:ck.npz"])
def test_a_model_spec_ending_in_npz_names_a_checkpoint_in_the_current_folder(
    tmp_path, monkeypatch, spec
):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError, match=r"no checkpoint at ck\.npz"):
        players.parse(spec)
    write(tmp_path / "ck.npz", replaced(STEM, np.full(STEM_SHAPE, np.nan))(sound_arrays()))
    with pytest.raises(ValueError, match=r"^ck\.npz: params/stem/w holds NaN"):
        players.make(spec, seed=1)
    write(tmp_path / "ck.npz", sound_arrays())
    assert players.make(spec, seed=1).name == spec


@pytest.mark.parametrize(
    ("spec", "path", "simulations"),
    [
        ("guided:a b:c/checkpoints/ck.npz:2", "a b:c/checkpoints/ck.npz", 2),
        ("guided:a b:c/x:5.npz:2", "a b:c/x:5.npz", 2),
        ("guided:a b:c/x:5.npz", "a b:c/x:5.npz", players.DEFAULT_GUIDED_SIMULATIONS),
        ("policy:a b:c/x:5.npz", "a b:c/x:5.npz", None),
    ],
)
def test_a_checkpoint_path_ending_in_npz_may_hold_colons(
    tmp_path, monkeypatch, spec, path, simulations
):
    monkeypatch.chdir(tmp_path)
    (tmp_path / path).parent.mkdir(parents=True)
    write(tmp_path / path, sound_arrays())
    options = players.parse(spec).options
    assert (options["model"], options.get("simulations")) == (path, simulations)
    assert players.make(spec, seed=1).name.startswith(spec)


@pytest.mark.parametrize(
    ("spec", "expected"),
    [
        ("guided:x.npz:", "simulations must be a whole number, not ''"),
        ("guided:x.npz:abc", "simulations must be a whole number, not 'abc'"),
        ("guided:a:b/x.npz:2", r"no checkpoint at a:b/x\.npz"),
        ("guided:no_such_module:load:2", "No module named 'no_such_module'"),  # a factory
    ],
)
def test_a_guided_spec_is_refused_in_its_own_terms(spec, expected):
    with pytest.raises(ValueError, match=expected):
        players.parse(spec)


def fortran_big_endian(params):
    return {k: np.asfortranarray(v).astype(">f4") for k, v in params.items()}


@pytest.mark.parametrize(
    "variant", ["saved", "Fortran order, big-endian", "compressed", "no optimizer state"]
)
def test_sound_checkpoints_load_as_saved(tmp_path, variant):
    params = init_params(CONFIG, 1)
    leaves = [] if variant == "no optimizer state" else [*adam_like_leaves(params), np.ones(3)]
    stored = fortran_big_endian(params) if variant.startswith("Fortran") else params
    path = tmp_path / "ck.npz"
    checkpoint.save(path, checkpoint.Checkpoint(stored, CONFIG, 11, leaves, {"iteration": 2}))
    if variant == "compressed":  # the same arrays, deflated
        with np.load(path) as saved:
            arrays = {k: saved[k] for k in saved.files}
        np.savez_compressed(path, **arrays)
    found = checkpoint.load(path)
    assert (found.config, found.step, found.meta) == (CONFIG, 11, {"iteration": 2})
    assert found.params.keys() == params.keys()
    assert all(found.params[k].dtype == np.float32 for k in params)
    assert all(np.array_equal(found.params[k], v) for k, v in params.items())
    assert [leaf.dtype for leaf in found.opt_leaves] == [leaf.dtype for leaf in leaves]
    assert all(np.array_equal(a, b) for a, b in zip(found.opt_leaves, leaves, strict=True))


@pytest.mark.parametrize(
    "path",
    [models.SHIPPED["baseline"], ROOT / "benchmarks" / "baseline" / "latest.npz"],
    ids=["shipped model", "kept training state"],
)
def test_the_kept_checkpoints_load_as_stored(path):
    found = checkpoint.load(path)
    loaded = {f"params/{k}": v for k, v in found.params.items()}
    loaded.update({f"opt/{k}": v for k, v in enumerate(found.opt_leaves)})
    with np.load(path) as stored:
        assert loaded.keys() | {"meta"} == set(stored.files)
        for key, value in loaded.items():
            assert value.dtype == stored[key].dtype and np.array_equal(value, stored[key])


def test_a_training_is_refused_a_network_its_checkpoints_could_not_hold():
    from krodan_rl.train.config import TrainConfig

    with pytest.raises(ValueError, match="checkpoints hold at most"):
        TrainConfig(network=NetworkConfig.from_dict(BIG_NETWORK))
