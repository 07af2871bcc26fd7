"""ctypes binding of the wexlink library (libwexlink.so.1, wexlink.dll).

    import wexlink
    lib = wexlink.load()                       # or load("/path/to/libwexlink.so.1")
    lib.Initial(1, 3, 9600, 0)
    lib.StartSnapshot(0, 16, 0, 8, -700, 0, 0, 0)
    passes, rows, position = wexlink.snapshot(lib, rows=1, channels=8)
    print([wexlink.celsius(raw) for raw in rows[-1]])

Every function of wexlink.h is declared with its argument and result types,
so ctypes converts and checks the arguments. Records are unpacked with
struct, which reads the packed, unaligned fields as they are.
"""
import ctypes
import ctypes.util
import os
import struct
import sys

MAJOR = 1

_u32, _i32 = ctypes.c_uint32, ctypes.c_int32
_PROTOTYPES = {
    # name: (result, argument types)
    "Initial": (_i32, [_u32, _i32, _i32, _i32]),
    "ConfigInfo": (None, [ctypes.c_char_p, ctypes.POINTER(_i32), ctypes.POINTER(_i32),
                          ctypes.POINTER(_i32), ctypes.POINTER(_i32),
                          ctypes.POINTER(ctypes.c_float), ctypes.POINTER(ctypes.c_float),
                          ctypes.POINTER(_i32)]),
    "ChannelFrq": (ctypes.c_double, [_i32, _i32]),
    "IOCtl": (_i32, [_i32, ctypes.c_void_p, _i32, _i32]),
    "RegisterNotify": (_i32, [_u32, ctypes.c_ssize_t, _u32, _u32, _u32]),
    "GetLastADError": (_i32, []),
    "GetADPropStrSize": (_i32, []),
    "GetADPropString": (_i32, [ctypes.c_char_p]),
    "StartIntr": (_i32, [_u32, _u32, _u32, _u32, _i32, _i32, _i32]),
    "StartSnapshot": (_i32, [_u32, _u32, _u32, _u32, _i32, _i32, _i32, _i32]),
    "StopIntr": (_i32, []),
    "QueryBuf": (_u32, []),
    "ADResult": (_i32, [ctypes.c_void_p]),
    "ADResultRecent": (_i32, [ctypes.c_void_p]),
    "GetSnapshot": (_i32, [ctypes.c_void_p, _u32, ctypes.POINTER(_i32)]),
    "inportb": (_u32, [_u32]),
    "inport": (_u32, [_u32]),
    "inportdw": (_u32, [_u32]),
    "outportb": (None, [_u32, _u32]),
    "outport": (None, [_u32, _u32]),
    "outportdw": (None, [_u32, _u32]),
}


def _default_path():
    if os.name == "nt":
        return "wexlink.dll"
    # The runtime name: a machine with only the runtime package has no
    # libwexlink.so development link.
    return "libwexlink.so.%d" % MAJOR


def load(path=None):
    """Loads the library (by default through the dynamic linker's search) and
    declares every function on it."""
    path = path or _default_path()
    if os.name == "nt" and ctypes.sizeof(ctypes.c_void_p) == 4:
        lib = ctypes.WinDLL(path)  # stdcall, decorated names
    else:
        lib = ctypes.CDLL(path)
    for name, (restype, argtypes) in _PROTOTYPES.items():
        try:
            function = getattr(lib, name)
        except AttributeError:
            # 32-bit Windows: _Initial@16 and so on (4 bytes per argument).
            function = getattr(lib, "_%s@%d" % (name, 4 * len(argtypes)))
        function.restype = restype
        function.argtypes = argtypes
        setattr(lib, name, function)
    return lib


# The reading rule of wexlink.h (WEXLINK_RAW_*), which ctypes cannot read.
RAW_OFFSET = 32000
RAW_PER_DEGREE = 16
RAW_MIN = 31120  # -55 degrees
RAW_MAX = 34000  # 125 degrees


def celsius(raw):
    """Degrees Celsius of a raw reading, or None for no reading (0 is a module
    that did not answer; the sensors read -55 to 125 degrees)."""
    if not RAW_MIN <= raw <= RAW_MAX:
        return None
    return (raw - RAW_OFFSET) / float(RAW_PER_DEGREE)


def snapshot(lib, rows, channels):
    """The newest `rows` rows of a snapshot run: (pass count, [row, ...] oldest
    first, each a tuple of `channels` raw values, ring row of the newest)."""
    size = 2 * channels * rows + 6
    record = ctypes.create_string_buffer(size)
    if not lib.GetSnapshot(record, rows, None):
        raise OSError("GetSnapshot failed with code %d" % lib.GetLastADError())
    passes, = struct.unpack_from("=H", record, 0)
    values = struct.unpack_from("=%dH" % (channels * rows), record, 2)
    position, = struct.unpack_from("=i", record, 2 + 2 * channels * rows)
    table = [values[r * channels:(r + 1) * channels] for r in range(rows)]
    return passes, table, position


def buffer(lib, size, channels, newest=False):
    """One buffer of a continuous run, `size` being what StartIntr returned:
    (head word, [row, ...] oldest first), or None when none is waiting."""
    data = ctypes.create_string_buffer(size)
    take = lib.ADResultRecent if newest else lib.ADResult
    if not take(data):
        if lib.GetLastADError() == 18:  # no complete buffer waiting
            return None
        raise OSError("ADResult failed with code %d" % lib.GetLastADError())
    head, = struct.unpack_from("=H", data, 0)
    count = (size - 2) // 2
    values = struct.unpack_from("=%dH" % count, data, 2)
    return head, [values[i:i + channels] for i in range(0, count, channels)]


if __name__ == "__main__":
    sys.exit("import this module; examples/snapshot.py runs it")
