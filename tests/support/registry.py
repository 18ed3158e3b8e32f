"""The shared borrow registry, used through its capsule as another module would."""

import ctypes

import numpy as np

CAPSULE_NAME = "_NUMPY_BORROW_CHECKING_API"

_get_name = ctypes.pythonapi.PyCapsule_GetName
_get_name.restype = ctypes.c_char_p
_get_name.argtypes = [ctypes.py_object]
_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_new_capsule = ctypes.pythonapi.PyCapsule_New
_new_capsule.restype = ctypes.py_object
_new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]

# PYFUNCTYPE keeps the interpreter lock held during the call, as the registry
# requires of every caller.
AcquireFunction = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
ReleaseFunction = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)


class Record(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("flags", ctypes.c_void_p),
        ("acquire", AcquireFunction),
        ("acquire_mut", AcquireFunction),
        ("release", ReleaseFunction),
        ("release_mut", ReleaseFunction),
    ]


class Registry:
    """Calls the four registry functions on real arrays (by their address)."""

    def __init__(self, capsule):
        self.capsule = capsule
        address = _get_pointer(capsule, _get_name(capsule))
        self.record = Record.from_address(address)

    def acquire(self, array):
        return self.record.acquire(self.record.flags, id(array))

    def acquire_mut(self, array):
        return self.record.acquire_mut(self.record.flags, id(array))

    def release(self, array):
        self.record.release(self.record.flags, id(array))

    def release_mut(self, array):
        self.record.release_mut(self.record.flags, id(array))

    def is_free(self, array):
        """True when a write borrow of `array` would be granted now."""
        if self.acquire_mut(array) != 0:
            return False
        self.release_mut(array)
        return True


class Borrows:
    """Borrows taken by one test; whatever is still held is ended when it finishes.

    Held arrays are kept alive, so that no later array can reuse the address
    of a base that is still registered.
    """

    def __init__(self, registry):
        self.registry = registry
        self.held = []

    def read(self, array):
        return self._take(self.registry.acquire, self.registry.release, array)

    def write(self, array):
        return self._take(self.registry.acquire_mut, self.registry.release_mut, array)

    def end(self, array):
        """Ends the latest borrow taken of `array` (the same object)."""
        for index in range(len(self.held) - 1, -1, -1):
            release, held = self.held[index]
            if held is array:
                del self.held[index]
                release(array)
                return
        raise AssertionError("no borrow of this array is held")

    def end_all(self):
        while self.held:
            release, array = self.held.pop()
            release(array)

    def _take(self, acquire, release, array):
        code = acquire(array)
        if code == 0:
            self.held.append((release, array))
        return code


# A capsule keeps only a pointer to its name, so the names must outlive it.
_capsule_names = {}


def capsule(address, name=CAPSULE_NAME):
    """A new capsule holding `address` under `name`, without a destructor."""
    encoded = _capsule_names.setdefault(name, name.encode())
    return _new_capsule(address, encoded, None)


def multiarray():
    import numpy.core.multiarray

    return numpy.core.multiarray


def shared_registry():
    """The process's registry, published by palettra on its first borrow."""
    import palettra

    palettra.convert(np.zeros((0, 0, 3), np.uint8), np.zeros((1, 3), np.uint64))
    return Registry(getattr(multiarray(), CAPSULE_NAME))


def panic_exception_type():
    """The PanicException type, met only through a raised instance."""
    import palettra

    try:
        palettra.convert(np.zeros((1, 1, 3), np.uint8), np.zeros((1, 1), np.uint64))
    except BaseException as exc:  # noqa: BLE001 - it derives from BaseException only
        return type(exc)
    raise AssertionError("a palette of one column must panic")
