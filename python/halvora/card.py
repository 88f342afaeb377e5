"""The common runtime: the card and its device, device memory with NumPy in and out,
data buffers and datasets. Every object is a context manager that releases what it
holds on exit, also when the block raised."""
import contextlib
import threading

import numpy as np

from ._native import CardError, Status, address, call, check, described, handle, zecm


class Resource:
    """Something the card holds for us, released once by close() (also on exit of a `with`)."""

    closed = False

    def close(self):
        if not self.closed:
            self.closed = True
            self._release()

    def _release(self):
        raise NotImplementedError

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        fields = [f"{name}={value!r}" for name, value in self._fields().items()]
        return f"<{type(self).__name__} {' '.join(fields + ['closed' if self.closed else 'open'])}>"

    def _fields(self):
        """What repr() shows of the object, by name."""
        return {}


class Counted:
    """A part of the card that the package starts for its users and stops when the last one
    ends, if the package started it: started by `start()`, stopped by `stop()`; the first user
    to find it not running starts it (again)."""

    def __init__(self, start, stop):
        self._start, self._stop = start, stop
        self.users, self.owned = 0, False
        # Reentrant: a frame collected while its thread is in here ends its use in here too.
        self.lock = threading.RLock()

    def acquire(self, *args):
        """Counts a user; True when this call started the part."""
        with self.lock:
            started = self._start(*args)
            if started:  # (re)started here: users counted before belong to a run that ended
                self.users, self.owned = 0, True
            self.users += 1
            return started

    def release(self):
        with self.lock:
            self.users = max(0, self.users - 1)
            if self.users == 0 and self.owned:
                self.owned = False
                self._stop()


def _initialize(config=None):
    status = zecm.initialize(config)
    if status not in (0, Status.ALREADY_INITIALIZED):
        check(status, "initialising the card's runtime")
    return status == 0


RUNTIME = Counted(_initialize, zecm.uninitialize)


def use_card(device=None):
    """Counts a user of the card's runtime, starting it when it is not running (with AI device
    `device` selected, or device 0 when none is); give it back with RUNTIME.release()."""
    RUNTIME.acquire()
    try:
        if device is not None or _selected_device() is None:
            check(zecm.setDevice(0 if device is None else device), f"selecting AI device {device or 0}")
    except BaseException:
        RUNTIME.release()
        raise


def _selected_device():
    try:
        return zecm.getDevice()
    except RuntimeError:
        return None


# The selected AI device is the process's, not the thread's: device memory, op streams and
# decoded device pictures are made on the device selected when they are made. Threads that
# work on different devices select theirs and make such things under this lock.
DEVICE_LOCK = threading.RLock()


@contextlib.contextmanager
def on_device(device):
    """Runs the block with AI device `device` selected and DEVICE_LOCK held, so that what it
    makes on the card lands on that device whatever other threads select. None: the block
    runs as it is, on the device selected by the process."""
    if device is None:
        yield
        return
    with DEVICE_LOCK:
        check(zecm.setDevice(device), f"selecting AI device {device}")
        yield


class Card(Resource):
    """The card's common runtime, with AI device `device` selected.

    The runtime is shared: Decoder, Encoder and Model start it themselves when it is not
    running, and the package stops it when the last of its users (Cards included) ends, if the
    package started it. Open a Card to choose the device or give the runtime its configuration
    (`config`, JSON text; it applies when this Card starts the runtime). `owned` tells whether
    this Card started it. A runtime initialised outside the package is left running.
    """

    def __init__(self, device=0, config=None):
        self.owned = RUNTIME.acquire(config)
        self.device = device
        try:
            check(zecm.setDevice(device), f"selecting AI device {device}")
        except CardError:
            self.close()
            raise

    def _release(self):
        RUNTIME.release()

    def _fields(self):
        return {"device": self.device, "owned": self.owned}

    def device_info(self):
        """The deviceInfo record of the selected AI device."""
        return device_info(self.device)

    def malloc(self, size, kind="device"):
        """A new DeviceMemory block of `size` bytes ("device" or "model" memory)."""
        return DeviceMemory(size, kind, self.device)

    def upload(self, array, kind="device"):
        """A new DeviceMemory block holding the bytes of `array`."""
        data = _bytes_of(array)
        block = DeviceMemory(data.size, kind, self.device)
        try:
            block.upload(data)
        except BaseException:
            block.close()
            raise
        return block


DeviceInfo = described(zecm.deviceInfo)


def device_info(device=0):
    """The deviceInfo record of AI device `device`."""
    record = DeviceInfo()
    record.deviceType, record.deviceIdx = zecm.deviceType.zecmDE_ZECC, device
    return record


def _bytes_of(array):
    return np.ascontiguousarray(array).reshape(-1).view(np.uint8)


def upload(array, target, size=None):
    """Copies the bytes of `array` into device memory at `target` (a handle or an address)."""
    data = _bytes_of(array)
    size = data.size if size is None else size
    if size > data.size:
        raise ValueError(f"{size} bytes asked for, the array holds {data.size}")
    target = handle(target) if isinstance(target, int) else target
    host = call(zecm.getHandleFromNumpy, "staging host memory", data[:size])
    try:
        check(zecm.memcpy(host, target, size, zecm.copyMemType.zecmCT_COPY_TO_DEVICE), "copying to the device")
    finally:
        zecm.freeHost(host)


def download(source, size, dtype=np.uint8, shape=None):
    """`size` bytes of device memory at `source` (a handle or an address), as a new NumPy array."""
    source = handle(source) if isinstance(source, int) else source
    host = call(zecm.mallocHost, "staging host memory", size)
    try:
        check(zecm.memcpy(source, host, size, zecm.copyMemType.zecmCT_COPY_FROM_DEVICE), "copying from the device")
        data = zecm.getNumpyFromHandle(host, size)
    finally:
        zecm.freeHost(host)
    data = data.view(dtype)
    return data if shape is None else data.reshape(shape)


class DeviceMemory(Resource):
    """A block of device memory ("device") or model input/output memory ("model")."""

    def __init__(self, size, kind="device", device=0):
        if kind not in ("device", "model"):
            raise ValueError(f"memory kind {kind!r}: 'device' or 'model'")
        if size <= 0:
            raise ValueError(f"a block of {size} bytes")
        allocate = zecm.malloc if kind == "device" else zecm.mallocModelInOut
        self.handle = call(allocate, f"allocating {size} bytes of {kind} memory", size)
        self.size, self.kind, self.device = size, kind, device
        self.address = address(self.handle)

    def _release(self):
        (zecm.free if self.kind == "device" else zecm.freeModelInOut)(self.handle)

    def _fields(self):
        return {"size": self.size, "kind": self.kind, "address": hex(self.address)}

    def upload(self, array):
        """Writes the bytes of `array` at the start of the block."""
        data = _bytes_of(array)
        if data.size > self.size:
            raise ValueError(f"{data.size} bytes do not fit in a block of {self.size}")
        upload(data, self.handle)

    def download(self, dtype=np.uint8, shape=None, size=None):
        """The block's bytes (the first `size`, or as many as `shape` needs) as a NumPy array."""
        if size is None:
            size = self.size if shape is None else int(np.prod(shape)) * np.dtype(dtype).itemsize
        if not 0 <= size <= self.size:
            raise ValueError(f"{size} bytes asked for from a block of {self.size}")
        return download(self.handle, size, dtype, shape)

    def fill(self, value=0):
        check(zecm.memset(self.handle, value, self.size), "filling device memory")


class Dataset(Resource):
    """A dataset of data buffers describing device memory; each member is a DeviceMemory
    block, or an (address, size) pair of memory the card holds (such as a decoded picture).

    Closing it releases the dataset and its buffers, never the memory they describe."""

    def __init__(self, members=(), device=0):
        self.handle = call(zecm.createDataset, "creating a dataset", zecm.datasetMode.zecmDM_BUFFER)
        self.device, self.members = device, []
        try:
            for member in members:
                self.add(member)
        except BaseException:
            self.close()
            raise

    def add(self, member):
        if isinstance(member, DeviceMemory):
            where, size = member.handle, member.size
        else:
            where, size = member
            where = handle(where) if isinstance(where, int) else where
        buffer = call(zecm.createDataBuffer, "describing device memory", device_info(self.device), where, size)
        status = zecm.addDatasetBuffer(self.handle, buffer)
        if status:
            zecm.destroyDataBuffer(buffer)
            check(status, "adding a buffer to a dataset")
        self.members.append((address(where), size))

    def _release(self):
        zecm.destroyDatasetAll(self.handle)

    def _fields(self):
        return {"members": [(hex(where), size) for where, size in self.members]}


def dataset_arrays(dataset, layouts):
    """The members of a dataset handle the runtime made (a run's outputs), as NumPy arrays:
    `layouts` gives (dtype, shape) per member."""
    arrays = []
    for index, (dtype, shape) in enumerate(layouts):
        buffer = call(zecm.getDatasetBuffer, f"reading output {index}", dataset, index)
        size = call(zecm.getDataBufferSize, f"reading the size of output {index}", buffer)
        where = call(zecm.getDataBufferAddr, f"reading the address of output {index}", buffer)
        data = download(where, size, dtype)
        arrays.append(data.reshape(shape) if shape is not None and data.size == int(np.prod(shape)) else data)
    return arrays


class Slots:
    """A fixed set of reusable items handed out one at a time: acquire() waits while all are
    out (the pipeline's bound on work in flight), release() gives one back."""

    def __init__(self, items):
        self.items = list(items)
        self._free = list(self.items)
        self._ready = threading.Condition()

    def acquire(self, timeout=None):
        """A free item; None when none came free within `timeout` seconds (None: no limit)."""
        with self._ready:
            if not self._ready.wait_for(lambda: self._free, timeout):
                return None
            return self._free.pop()

    def add(self, item):
        """Adds an item to the set, handed out at once (give it back with release())."""
        with self._ready:
            self.items.append(item)

    def release(self, item):
        with self._ready:
            self._free.append(item)
            self._ready.notify()

    def idle(self, timeout=None):
        """Waits until every item is back; True when they are."""
        with self._ready:
            return self._ready.wait_for(lambda: len(self._free) == len(self.items), timeout)

    def __len__(self):
        return len(self.items)
