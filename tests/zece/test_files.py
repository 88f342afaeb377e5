"""Image file utilities: raw files to and from device memory, MD5 digests against hashlib."""
import hashlib
import re

import numpy as np
import pytest

from card import run_isolated
from sim import address


@pytest.mark.parametrize("length, size", [(100, 100), (100, 50), (1, 1)])
def test_read_image_file_copies_the_first_size_bytes(zece, pictures, sim, tmp_path, length, size):
    data = np.arange(length, dtype=np.uint8) * 7
    path = tmp_path / "image.raw"
    path.write_bytes(data.tobytes())
    results = [zece.readImageFile(str(path), first, second, size) for first, second in ((0, 0), (-5, 2**31 - 1))]
    for block in results:
        np.testing.assert_array_equal(pictures.device.download(block, size), data[:size])
    assert re.fullmatch(rf"zecmMemcpy\(0x[0-9a-f]+, {address(results[0])}, {size}, 1\) = 0",
                        sim.calls("zecmMemcpy")[0])
    assert [pictures.zecm.free(block) for block in results] == [0, 0]


def test_read_image_file_failures(tmp_path):
    image = tmp_path / "image.raw"
    image.write_bytes(bytes(100))
    missing = tmp_path / "missing.raw"
    result = run_isolated(f"""
        import sys
        from _halvora_pybind11 import zecm, zece
        from sim import Sim
        sim = Sim()
        zecm.initialize(); zecm.setDevice(0)
        def attempt(*args):
            try:
                zece.readImageFile(*args)
            except TypeError as error:
                return str(error)
        results = [attempt({str(missing)!r}, 0, 0, 10), attempt({str(image)!r}, 0, 0, 101),
                   attempt({str(image)!r}, 0, 0, -1), attempt({str(image)!r}, 0, 0, 0)]
        sim.fail("zecmMalloc", 7)
        results.append(attempt({str(image)!r}, 0, 0, 10))
        sim.null("zecmMalloc")
        results.append(attempt({str(image)!r}, 0, 0, 10))
        sim.trace(True)
        sim.fail("zecmMemcpy", 7)
        results.append(attempt({str(image)!r}, 0, 0, 10))
        print(set(results), len(sim.calls("zecmFree")), file=sys.stderr)
    """)
    assert result.stderr.splitlines()[-1] == "{'zece readImageFile error.'} 1"
    assert result.stdout == (f"Failed to open image {missing}\n"
                             f"Error: Failed to read file {image}, size is not as expected. \n"
                             f"Failed to malloc memory for image {image} of size {2**64 - 1} bytes. \n")


def test_saved_images_read_back(zece, pictures, tmp_path):
    data = np.random.default_rng(3).integers(0, 256, 4096, dtype=np.uint8)
    block = pictures.device.upload(data)
    path = tmp_path / "saved.raw"
    path.write_bytes(bytes(10000))  # replaced entirely
    assert zece.saveHandelToImage(4096, block, str(path)) is None
    assert path.read_bytes() == data.tobytes()
    again = zece.readImageFile(str(path), 0, 0, 4096)
    np.testing.assert_array_equal(pictures.device.download(again, 4096), data)
    assert zece.genFileMd5sum(str(path)) == hashlib.md5(data.tobytes()).hexdigest()


def test_a_failed_device_copy_saves_zeros(zece, card, sim, tmp_path):
    path = tmp_path / "zeros.raw"
    sim.fail("zecmMemcpy", 7)
    zece.saveHandelToImage(16, None, str(path))
    assert path.read_bytes() == bytes(16)
    [line] = sim.calls("zecmMemcpy")
    assert re.fullmatch(r"zecmMemcpy\(NULL, 0x[0-9a-f]+, 16, 0\) = 7", line)


def test_save_refusals_write_through_nothing(zece, card, tmp_path):
    with pytest.raises(ValueError):
        zece.saveHandelToImage(-1, None, str(tmp_path / "negative.raw"))
    with pytest.raises(FileNotFoundError):
        zece.saveHandelToImage(4, None, str(tmp_path / "no" / "such" / "dir.raw"))
    with pytest.raises(IsADirectoryError):
        zece.saveHandelToImage(4, None, str(tmp_path))
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("data", [b"", b"abc", bytes(range(256)) * 1000])
def test_file_digests_equal_hashlib(zece, tmp_path, data):
    path = tmp_path / "data.bin"
    path.write_bytes(data)
    assert zece.genFileMd5sum(str(path)) == hashlib.md5(data).hexdigest()


def test_files_of_4_gib_are_refused_not_truncated(zece, tmp_path):
    path = tmp_path / "sparse.bin"
    with open(path, "wb") as file:
        file.truncate(2**32)  # sparse: no disk space is used
    with pytest.raises(RuntimeError, match="4 GiB"):
        zece.genFileMd5sum(str(path))


def test_buffer_digests_read_host_memory(zece, card):
    host = card.getHandleFromNumpy(np.frombuffer(b"abcdef", dtype=np.uint8))
    assert zece.genBufferMd5sum(host, 3) == hashlib.md5(b"abc").hexdigest()
    with pytest.raises(RuntimeError):
        zece.genBufferMd5sum(host, 0)
    with pytest.raises(RuntimeError):
        zece.genBufferMd5sum(None, 3)
    with pytest.raises(ValueError):
        zece.genBufferMd5sum(host, -1)
    card.freeHost(host)


def test_missing_files_have_no_digest(tmp_path):
    missing = tmp_path / "missing.bin"
    result = run_isolated(f"""
        from _halvora_pybind11 import zece
        for path in ({str(missing)!r}, {str(tmp_path)!r}):
            try:
                zece.genFileMd5sum(path)
            except RuntimeError as error:
                print(type(error).__name__)
    """)
    assert result.stdout == "RuntimeError\nRuntimeError\n"
    assert result.stderr == f"failed to open {missing}\n"
