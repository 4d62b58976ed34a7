"""talven for Python: test control of a wireless-LAN adapter in test mode.

    import talven
    talven.start_packet_driver()              # the packet driver's service, "NORVAKS"
    with talven.open_adapter() as dut:        # the first adapter the packet driver lists
        dut.start_test()
        dut.set_channel_direct_call(6)
        print(dut.read_mac_address())         # "00:5B:A7:12:34:56"
        dut.stop_test()

Every operation of talven.h whose first argument is the Adapter is a method of Adapter, named
in snake_case (SetChannelDirectCall -> set_channel_direct_call, ReadEEpromByte ->
read_eeprom_byte). Inputs are arguments; outputs are returned (one value, or a tuple); a
failure raises TalvenError naming the operation and its result, so a failed read is never
mistaken for a value. MAC addresses are text, EEPROM images and CIS data bytes, the power
table a mapping by channel. The raw layer (talven.raw) binds the same operations as in talven.h.
"""
import contextlib
import ctypes
import re

from . import _raw as raw
from ._operations import CONSTANTS

__all__ = ["Adapter", "TalvenError", "adapter_names", "open_adapter", "start_packet_driver",
           "stop_packet_driver", "power_table_from_bytes", "power_table_to_bytes", "raw",
           "CONSTANTS", "CHANNELS_24GHZ", "CHANNELS_5GHZ"]

SERVICE_NAME = "NORVAKS"
POWER_TABLE_LENGTH = CONSTANTS["TALVEN_POWER_TABLE_LENGTH"]
CHANNELS_24GHZ = tuple(range(1, 15))
CHANNELS_5GHZ = (36, 40, 44, 48, 52, 56, 60, 64, 149, 153, 157, 161)


class TalvenError(Exception):
    """An operation reported failure. `operation` is its name as in talven.h, `result` the
    value it returned."""

    def __init__(self, operation, result):
        super().__init__(f"{operation} failed (result {result})")
        self.operation = operation
        self.result = result


def _check(name, result):
    if not result:  # null pointers arrive as None, 8-bit results as their low byte
        raise TalvenError(name, result or 0)
    return result


def snake_case(name):
    """SetChannelDirectCall -> set_channel_direct_call; EEprom counts as one word."""
    name = name.replace("EEprom", "Eeprom")
    name = re.sub(r"([A-Z]+)([A-Z][a-z])", r"\1_\2", name)
    name = re.sub(r"([a-z0-9])([A-Z])", r"\1_\2", name)
    return name.lower()


def mac_to_bytes(mac):
    """'00:5B:A7:12:34:56' (or with '-', or 6 bytes) -> 6 bytes."""
    if isinstance(mac, (bytes, bytearray)):
        data = bytes(mac)
    else:
        parts = re.split(r"[:-]", mac.strip())
        if len(parts) != 6 or not all(re.fullmatch(r"[0-9A-Fa-f]{1,2}", p) for p in parts):
            raise ValueError(f"not a MAC address: {mac!r}")
        data = bytes(int(p, 16) for p in parts)
    if len(data) != 6:
        raise ValueError(f"a MAC address has 6 bytes, not {len(data)}")
    return data


def mac_to_text(data):
    return ":".join(f"{b:02X}" for b in bytes(data))


# ---- power-control table: the 74-byte buffer of ReadPowerControl / WritePowerControl ----
def _position(channel):
    """Position of a channel in the driver's list of 46 (26..86 even, 100..140, 149..161)."""
    if 26 <= channel <= 86 and channel % 2 == 0:
        return (channel - 26) // 2
    if 100 <= channel <= 140 and channel % 4 == 0:
        return 31 + (channel - 100) // 4
    return 42 + (channel - 149) // 4


def power_table_from_bytes(table):
    """{1: (high, low), ..., 14: (high, low), 36: entry, ..., 161: entry} from the buffer."""
    table = bytes(table)
    if len(table) < POWER_TABLE_LENGTH:
        raise ValueError(f"a power table has {POWER_TABLE_LENGTH} bytes")
    result = {ch: (table[60 + ch - 1], table[ch - 1]) for ch in CHANNELS_24GHZ}
    result.update({ch: table[14 + _position(ch)] for ch in CHANNELS_5GHZ})
    return result


def power_table_to_bytes(mapping):
    """The 74-byte buffer for a mapping that names every channel of power_table_from_bytes."""
    missing = [ch for ch in CHANNELS_24GHZ + CHANNELS_5GHZ if ch not in mapping]
    if missing:
        raise ValueError(f"the power table needs every channel; missing {missing}")
    extra = sorted(set(mapping) - set(CHANNELS_24GHZ + CHANNELS_5GHZ))
    if extra:
        raise ValueError(f"channels without an EEPROM entry: {extra}")
    table = bytearray(POWER_TABLE_LENGTH)
    for ch in CHANNELS_24GHZ:
        high, low = mapping[ch]
        if not (0 <= high <= 15 and 0 <= low <= 15):
            raise ValueError(f"channel {ch}: 4-bit values 0 to 15, not {(high, low)}")
        table[ch - 1], table[60 + ch - 1] = low, high
    for ch in CHANNELS_5GHZ:
        if not 0 <= mapping[ch] <= 255:
            raise ValueError(f"channel {ch}: an 8-bit entry, not {mapping[ch]}")
        table[14 + _position(ch)] = mapping[ch]
    return bytes(table)


# ---- library-level operations ----
def start_packet_driver(service=SERVICE_NAME):
    """StartPacketDriver: start the packet driver's service (on Windows: administrator rights;
    a failure shows a message box there)."""
    _check("StartPacketDriver", raw.library().StartPacketDriver(raw.wide(service), 0))


def stop_packet_driver():
    _check("StopPacketDriver", raw.library().StopPacketDriver(0))


def adapter_names():
    """The device paths of the adapters bound to the packet driver (PacketGetAdapterNames)."""
    lib = raw.library()
    capacity = 4096
    while True:
        buffer = (ctypes.c_uint8 * capacity)()
        size = ctypes.c_uint32(capacity)
        _check("PacketGetAdapterNames", lib.PacketGetAdapterNames(buffer, ctypes.byref(size)))
        if size.value <= capacity:
            break
        capacity = size.value  # too small: the size written is the list's full size
    text = bytes(buffer)[:size.value].decode("utf-16-le", errors="replace")
    names = []
    for name in text.split("\0"):
        if not name:
            break
        names.append(name)
    return names


def open_adapter(path=None):
    """OpenDUT on `path`, or on the first adapter of adapter_names()."""
    if path is None:
        names = adapter_names()
        if not names:
            raise TalvenError("PacketGetAdapterNames", 0)
        path = names[0]
    return Adapter(path)


# ---- the adapter ----
_INPUTS = {"value", "wstr", "bytes_in", "mac_in"}
_OUTPUTS = {"out", "inout", "mac_out"}


def _generic_method(name, args):
    kinds = [kind for _, kind, _ in args[1:]]
    ctypes_of = [ctype for _, _, ctype in args[1:]]

    def method(self, *values):
        if len(values) != sum(k in _INPUTS for k in kinds):
            raise TypeError(f"{snake_case(name)} takes the arguments "
                            f"{[n for n, k, _ in args[1:] if k in _INPUTS]}")
        call, outputs, it = [self.handle], [], iter(values)
        for kind, ctype in zip(kinds, ctypes_of):
            if kind == "value":
                call.append(next(it))
            elif kind == "wstr":
                call.append(raw.wide(next(it)))
            elif kind == "mac_in":
                call.append((ctypes.c_uint8 * 6).from_buffer_copy(mac_to_bytes(next(it))))
            elif kind == "bytes_in":
                data = bytes(next(it))
                call.append((ctypes.c_uint8 * max(1, len(data))).from_buffer_copy(data or b"\0"))
            elif kind == "mac_out":
                outputs.append((ctypes.c_uint8 * 6)())
                call.append(outputs[-1])
            else:  # out, inout
                outputs.append(ctypes.c_uint8() if ctype == "PUCHAR" else ctypes.c_uint32())
                call.append(ctypes.byref(outputs[-1]))
        _check(name, getattr(self._lib, name)(*call))
        values = [mac_to_text(o) if isinstance(o, ctypes.Array) else o.value for o in outputs]
        return None if not values else values[0] if len(values) == 1 else tuple(values)

    method.__name__ = snake_case(name)
    method.__doc__ = f"{name}: see talven.h."
    return method


class Adapter:
    """An open adapter (OpenDUT); close() or the end of a with block closes it (CloseDUT)."""

    def __init__(self, path):
        self._lib = raw.library()
        self.path = path
        handle = self._lib.OpenDUT(raw.wide(path))
        _check("OpenDUT", handle)
        self.handle = ctypes.c_void_p(handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self.handle is not None:
            _check("CloseDUT", self._lib.CloseDUT(self.handle))
            self.handle = None

    # EEPROM images, CIS data and the power table: bytes and mappings.
    def read_eeprom(self, eeprom_type=None):
        """The whole EEPROM image as bytes (128 bytes for type 1, 256 for type 2)."""
        if eeprom_type is None:
            eeprom_type = self.query_eeprom_type()
        buffer = (ctypes.c_uint8 * (128 if eeprom_type == 1 else 256))()
        _check("ReadEEprom", self._lib.ReadEEprom(self.handle, buffer, eeprom_type))
        return bytes(buffer)

    def write_eeprom(self, image):
        """Writes a whole image of 128 (type 1) or 256 (type 2) bytes."""
        image = bytes(image)
        types = {128: 1, 256: 2}
        if len(image) not in types:
            raise ValueError("an EEPROM image has 128 or 256 bytes")
        buffer = (ctypes.c_uint8 * len(image)).from_buffer_copy(image)
        _check("WriteEEprom", self._lib.WriteEEprom(self.handle, buffer, types[len(image)]))

    def read_power_control(self):
        """{channel: (high, low)} for channels 1 to 14, {channel: entry} for the 5 GHz ones."""
        buffer = (ctypes.c_uint8 * POWER_TABLE_LENGTH)()
        _check("ReadPowerControl",
               self._lib.ReadPowerControl(self.handle, buffer, POWER_TABLE_LENGTH))
        return power_table_from_bytes(buffer)

    def write_power_control(self, mapping):
        """Writes every channel's entry; the mapping must name all 26 channels."""
        buffer = (ctypes.c_uint8 * POWER_TABLE_LENGTH).from_buffer_copy(
            power_table_to_bytes(mapping))
        _check("WritePowerControl",
               self._lib.WritePowerControl(self.handle, buffer, POWER_TABLE_LENGTH))

    def read_cis_data(self):
        buffer = (ctypes.c_uint8 * CONSTANTS["TALVEN_CIS_CAPACITY"])()
        length = ctypes.c_uint32(0)
        _check("ReadCISData", self._lib.ReadCISData(self.handle, buffer, ctypes.byref(length)))
        return bytes(buffer)[:length.value]

    def write_cis_data(self, data):
        data = bytes(data)
        buffer = (ctypes.c_uint8 * max(1, len(data))).from_buffer_copy(data or b"\0")
        _check("WriteCISData", self._lib.WriteCISData(self.handle, buffer, len(data)))

    # Frames: a packet of the library's own for each call.
    def send_frame(self, frame):
        """Sends one frame and waits for its write (PacketSendPacket with sync)."""
        frame = (ctypes.c_uint8 * len(frame)).from_buffer_copy(bytes(frame))
        packet = _check("PacketAllocatePacket", self._lib.PacketAllocatePacket(self.handle))
        try:
            self._lib.PacketInitPacket(packet, ctypes.cast(frame, ctypes.c_void_p), len(frame))
            _check("PacketSendPacket", self._lib.PacketSendPacket(self.handle, packet, 1))
        finally:
            self._lib.PacketFreePacket(packet)

    def receive_frame(self):
        """One received frame as bytes (PacketReceivePacket)."""
        buffer = (ctypes.c_uint8 * CONSTANTS["TALVEN_RECEIVE_CAPACITY"])()
        length = ctypes.c_uint32(0)
        packet = _check("PacketAllocatePacket", self._lib.PacketAllocatePacket(self.handle))
        try:
            self._lib.PacketInitPacket(packet, ctypes.cast(buffer, ctypes.c_void_p), len(buffer))
            _check("PacketReceivePacket",
                   self._lib.PacketReceivePacket(self.handle, packet, 0, ctypes.byref(length)))
        finally:
            self._lib.PacketFreePacket(packet)
        return bytes(buffer)[:length.value]

    @contextlib.contextmanager
    def continuous_frames(self):
        """The library's worker sends test frames back to back inside the with block
        (PKT32OFDMContinuousTx). There is one worker state per process, not per adapter."""
        self.pkt32_ofdm_continuous_tx(1)
        try:
            yield self
        finally:
            self.pkt32_ofdm_continuous_tx(0)


def _add_methods():
    special = {"OpenDUT", "CloseDUT", "ReadEEprom", "WriteEEprom", "ReadPowerControl",
               "WritePowerControl", "ReadCISData", "WriteCISData"}
    for name, _, result, args in raw.OPERATIONS:
        kinds = [kind for _, kind, _ in args]
        if name in special or not kinds or kinds[0] != "adapter" or result == "packet":
            continue
        if any(k in ("packet", "buffer", "bytes_out") for k in kinds):
            continue  # frames: send_frame, receive_frame; the raw layer has the rest
        setattr(Adapter, snake_case(name), _generic_method(name, args))


_add_methods()
