"""The cipher, Base64 groups and lock files from Python."""

import base64
import gc
import os
import pathlib
import signal
import subprocess
import sys
import threading

import numpy as np
import pytest

import velmora
from reference import reference

# ---- cipher ----


@pytest.mark.parametrize("key, multiplier, increment", [
    (0x1234, 0x5678, 0x9ABC), (0, 0, 0), (65535, 65535, 65535), (52845, 22719, 11), (1, 1, 1),
])
def test_cipher_matches_the_cpp_calls_and_round_trips(key, multiplier, increment):
    plain = np.random.default_rng(key).integers(0, 256, 20000, dtype=np.uint8).tobytes()
    sealed = velmora.encrypt(plain, key, multiplier, increment)
    expected = reference("cipher", key, multiplier, increment, 0, values=np.frombuffer(plain,
                                                                                     np.uint8))
    assert sealed == expected.astype(np.uint8).tobytes()
    assert velmora.decrypt(sealed, key, multiplier, increment) == plain
    assert sealed[0] == plain[0] ^ (key >> 8)
    opened = reference("cipher", key, multiplier, increment, 1,
                       values=np.frombuffer(sealed, np.uint8))
    assert opened.astype(np.uint8).tobytes() == plain
    assert velmora.decrypt(sealed, key ^ 0x0100, multiplier, increment) != plain


def test_cipher_takes_any_byte_buffer():
    plain = bytes(range(256)) * 8
    want = velmora.encrypt(plain, 4660, 22136, 39612)
    array = np.frombuffer(plain, dtype=np.uint8)
    for data in (bytearray(plain), memoryview(plain), array, array.astype(np.int8),
                 array.reshape(64, 32)):
        assert velmora.encrypt(data, 4660, 22136, 39612) == want
    strided = np.repeat(array, 2)[::2]                          # copied once, same bytes
    assert velmora.encrypt(strided, 4660, 22136, 39612) == want
    zeros = bytes(2 * len(plain))
    assert (velmora.encrypt(memoryview(zeros)[::2], 1, 2, 3)
            == velmora.encrypt(zeros[:len(plain)], 1, 2, 3))
    assert velmora.encrypt(b"", 1, 2, 3) == b"" and velmora.decrypt(b"", 1, 2, 3) == b""


def test_cipher_refuses_bad_arguments():
    with pytest.raises(ValueError, match=r"key must lie within 0 \.\. 65535, got 65536"):
        velmora.encrypt(b"abc", 65536, 1, 1)
    with pytest.raises(ValueError, match="multiplier must lie within 0 .. 65535, got -1"):
        velmora.encrypt(b"abc", 1, -1, 1)
    with pytest.raises(ValueError, match="increment must lie within"):
        velmora.decrypt(b"abc", 1, 1, 2 ** 80)
    with pytest.raises(TypeError, match="key must be an int, got float"):
        velmora.encrypt(b"abc", 1.0, 1, 1)
    with pytest.raises(TypeError, match="not str"):
        velmora.encrypt("abc", 1, 1, 1)
    with pytest.raises(TypeError, match="must hold bytes"):
        velmora.encrypt(np.arange(3.0), 1, 1, 1)
    with pytest.raises(TypeError, match="must be bytes, bytearray"):
        velmora.encrypt([1, 2, 3], 1, 1, 1)
    assert velmora.encrypt(b"abc", np.uint16(7), True + 1, 3) == velmora.encrypt(b"abc", 7, 2, 3)

# ---- Base64 ----


def test_base64_groups_agree_with_the_standard_encoding():
    rng = np.random.default_rng(11)
    for count in (1, 2, 3):
        for group in rng.integers(0, 256, (2000, count), dtype=np.uint8):
            data = group.tobytes()
            text = velmora.encode_base64_group(data)
            assert text == base64.b64encode(data).decode()
            assert velmora.decode_base64_group(text) == data
            assert velmora.decode_base64_group(text.encode()) == data
    payload = rng.integers(0, 256, 10001, dtype=np.uint8)
    for size in (0, 1, 2, 3, 10000, 10001):
        data = payload[:size].tobytes()
        assert velmora.base64_encode(data) == base64.b64encode(data).decode()
    assert velmora.base64_encode(payload) == base64.b64encode(payload.tobytes()).decode()


def test_base64_group_edges():
    assert velmora.encode_base64_group(b"\xff") == "/w=="
    # Characters outside the alphabet decode as if their 6 bits were all set.
    assert velmora.decode_base64_group("!!!!") == velmora.decode_base64_group("////") == b"\xff" * 3
    for bad in (b"", b"abcd"):
        with pytest.raises(ValueError, match="1 to 3 bytes"):
            velmora.encode_base64_group(bad)
    for bad in ("abc", "abcde", "abcé"):
        with pytest.raises(ValueError, match="4"):
            velmora.decode_base64_group(bad)
    with pytest.raises(TypeError):
        velmora.encode_base64_group("abc")

# ---- lock files ----


def child_acquires(path, then=""):
    """Runs a new interpreter that tries the lock; returns what it printed."""
    code = ("import os, signal, sys, velmora\n"
            "lock = velmora.LockFile(sys.argv[1])\n"
            "print(lock.acquire(), flush=True)\n" + then)
    done = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True,
                          text=True, timeout=30, check=False)
    return done.stdout.strip()


def test_a_lock_file_excludes_other_holders_until_released(tmp_path):
    path = tmp_path / "profiles.lock"
    with velmora.LockFile(path) as lock:
        assert lock.locked and lock.path == str(path) and path.exists()
        assert repr(lock) == f"<velmora.LockFile {str(path)!r} locked>"
        other = velmora.LockFile(str(path))
        assert not other.acquire() and not other.locked
        with pytest.raises(velmora.Error, match="held by a live process"):
            with velmora.LockFile(os.fsencode(path)):
                pass
        assert child_acquires(path) == "False"
        assert not lock.acquire() and lock.locked       # held by this very object
        with pytest.raises(velmora.Error, match="already held by this LockFile"):
            lock.__enter__()
    assert not lock.locked and not path.exists()
    lock.release()                                     # releasing twice is harmless
    assert child_acquires(path) == "True" and not path.exists()
    assert other.acquire() and other.locked
    del other                                          # garbage collection releases it
    gc.collect()
    assert not path.exists() and velmora.LockFile(path).acquire()


def test_a_stale_lock_file_of_a_killed_process_is_taken_over(tmp_path):
    path = tmp_path / "stale.lock"
    assert child_acquires(path, "os.kill(os.getpid(), signal.SIGKILL)\n") == "True"
    assert path.exists()                               # left behind by the killed holder
    lock = velmora.LockFile(path)
    assert lock.acquire()
    lock.release()
    assert not path.exists()


def test_lock_file_paths_that_cannot_work(tmp_path):
    with pytest.raises(velmora.Error, match="directory does not exist"):
        with velmora.LockFile(tmp_path / "missing" / "x.lock"):
            pass
    assert not velmora.LockFile(tmp_path / "missing" / "x.lock").acquire()
    with pytest.raises(ValueError, match="shorter than 256 bytes"):
        velmora.LockFile(tmp_path / ("x" * 300))
    with pytest.raises(ValueError, match="empty"):
        velmora.LockFile("")
    with pytest.raises(ValueError, match="NUL"):
        velmora.LockFile("a\0b")
    with pytest.raises(TypeError):
        velmora.LockFile(3)


def test_threads_racing_for_one_lock_file_take_it_one_at_a_time(tmp_path):
    path = pathlib.Path(tmp_path) / "race.lock"
    rounds, racers = 40, 4
    winners = [[] for _ in range(rounds)]
    barrier = threading.Barrier(racers)

    def race(me):
        for r in range(rounds):
            lock = velmora.LockFile(path)
            barrier.wait()
            if lock.acquire():
                winners[r].append(me)
            barrier.wait()
            lock.release()
            barrier.wait()

    threads = [threading.Thread(target=race, args=(i,)) for i in range(racers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(len(w) == 1 for w in winners)
    assert not path.exists()
