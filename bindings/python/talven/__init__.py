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
mistaken for a value. An argument outside its C type's range (ULONG: 0 to 2**32 - 1, LONG:
-2**31 to 2**31 - 1) raises ValueError before anything is sent, where C would cut it; a call on
a closed adapter raises AdapterClosedError ("adapter is closed"). MAC addresses are text,
EEPROM images and CIS data bytes, the power table a mapping by channel. Each method's
docstring is made from its entry in docs/reference.md (help(talven.Adapter.set_data_rate)).
The raw layer (talven.raw) binds the same operations as in talven.h.
"""
import ctypes
import inspect
import re
import textwrap

from . import _raw as raw
from ._operations import CONSTANTS
from ._reference import REFERENCE

__all__ = ["Adapter", "AdapterClosedError", "TalvenError", "adapter_names", "open_adapter", "start_packet_driver",
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


class AdapterClosedError(ValueError):
    """A call on an adapter after close() (or the end of its with block)."""

    def __init__(self):
        super().__init__("adapter is closed")


# The range of each integer C type an argument can have; anything outside is refused.
C_RANGES = {"ULONG": (0, 2**32 - 1), "LONG": (-2**31, 2**31 - 1)}


def _c_value(operation, argument, ctype, value):
    """`value` as the C type takes it, or TypeError / ValueError naming operation and argument:
    ctypes would otherwise send only its low 32 bits."""
    if not isinstance(value, int):
        raise TypeError(f"{operation}: {argument} must be an int, not {type(value).__name__}")
    low, high = C_RANGES[ctype]
    if not low <= value <= high:
        raise ValueError(f"{operation}: {argument} = {value} is outside {ctype}'s range "
                         f"({low} to {high}); nothing was sent")
    return value


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


# ---- docstrings from docs/reference.md ----
def _wrap(label, text, indent="    "):
    """`label` and the reference's text, wrapped for a docstring (Markdown marks dropped)."""
    text = text.replace("**", "")
    return textwrap.fill(text, width=92, initial_indent=indent + label,
                         subsequent_indent=indent + "  ", break_long_words=False,
                         break_on_hyphens=False)


def _docstring(name, signature, arguments, returns, raises=(), adapter=True):
    """A method's docstring: what the operation does and its arguments, result, outputs, debug
    strings and requests as docs/reference.md states them, with what the Python layer takes,
    returns and raises."""
    entry = REFERENCE[name]
    lines = [signature, "", _wrap("", f"{name}: {entry['Summary']}", indent=""), "",
             "Arguments:"]
    lines += [_wrap("", line) for line in arguments] or ["    none"]
    lines.append(_wrap("reference: ", entry["Arguments"]))
    lines += ["Returns:", _wrap("", returns), _wrap("reference, result: ", entry["Result"]),
              _wrap("reference, outputs: ", entry["Outputs"]), "Raises:"]
    lines += [_wrap("", line) for line in raises]
    lines += [_wrap("", "TalvenError: the operation returned its failure value (.operation, "
                        ".result)."),
              ] + ([_wrap("", "AdapterClosedError: the adapter is closed.")] if adapter else []) + [
              "Debug strings:", _wrap("", entry["Debug strings"]),
              "Driver:", _wrap("", entry["Driver"])]
    return "\n".join(lines) + "\n"


def _documented(name, signature, arguments, returns, raises=(), adapter=True):
    """For the functions written by hand: their docstring from the reference entry of `name`."""
    def decorate(function):
        function.__doc__ = _docstring(name, signature, arguments, returns, raises, adapter)
        return function
    return decorate


# ---- library-level operations ----
@_documented("StartPacketDriver", "start_packet_driver(service='NORVAKS')",
             ["service: str, the packet driver's service name."],
             "None. On Windows it needs administrator rights, and a failure shows a message box "
             "that waits for OK (see the station guide for unattended stations).",
             ["TypeError: service is not a str."], adapter=False)
def start_packet_driver(service=SERVICE_NAME):
    if not isinstance(service, str):
        raise TypeError(f"start_packet_driver: service must be a str, not {type(service).__name__}")
    _check("StartPacketDriver", raw.library().StartPacketDriver(raw.wide(service), 0))


@_documented("StopPacketDriver", "stop_packet_driver()", [], "None.", adapter=False)
def stop_packet_driver():
    _check("StopPacketDriver", raw.library().StopPacketDriver(0))


@_documented("PacketGetAdapterNames", "adapter_names()", [],
             "list of str: the device paths, in the driver's order (a buffer as large as the "
             "list needs is asked for).", adapter=False)
def adapter_names():
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
_PYTHON_TYPES = {"value": "int", "wstr": "str", "bytes_in": "bytes", "mac_in": "str or 6 bytes"}


def _generic_method(name, args):
    kinds = [kind for _, kind, _ in args[1:]]
    ctypes_of = [ctype for _, _, ctype in args[1:]]
    method_name = snake_case(name)
    inputs = [(n, k, t) for n, k, t in args[1:] if k in _INPUTS]
    outputs = [(n, k, t) for n, k, t in args[1:] if k in _OUTPUTS]

    def method(self, *values):
        if len(values) != len(inputs):
            raise TypeError(f"{method_name} takes the arguments {[n for n, _, _ in inputs]}")
        call, outs, it = [self._live()], [], iter(zip(inputs, values))
        for kind, ctype in zip(kinds, ctypes_of):
            if kind in _INPUTS:
                (arg, _, _), value = next(it)
            if kind == "value":
                call.append(_c_value(method_name, arg, ctype, value))
            elif kind == "wstr":
                call.append(raw.wide(value))
            elif kind == "mac_in":
                call.append((ctypes.c_uint8 * 6).from_buffer_copy(mac_to_bytes(value)))
            elif kind == "bytes_in":
                data = bytes(value)
                call.append((ctypes.c_uint8 * max(1, len(data))).from_buffer_copy(data or b"\0"))
            elif kind == "mac_out":
                outs.append((ctypes.c_uint8 * 6)())
                call.append(outs[-1])
            else:  # out, inout
                outs.append(ctypes.c_uint8() if ctype == "PUCHAR" else ctypes.c_uint32())
                call.append(ctypes.byref(outs[-1]))
        _check(name, getattr(self._lib, name)(*call))
        values = [mac_to_text(o) if isinstance(o, ctypes.Array) else o.value for o in outs]
        return None if not values else values[0] if len(values) == 1 else tuple(values)

    described = []
    for arg, kind, ctype in inputs:
        if kind == "value":
            low, high = C_RANGES[ctype]
            described.append(f"{arg}: int, {low} to {high} ({ctype}); outside that range "
                             "ValueError, nothing sent.")
        else:
            described.append(f"{arg}: {_PYTHON_TYPES[kind]}.")
    kinds_out = ["MAC address as text '00:5B:A7:12:34:56'" if k == "mac_out" else
                 f"{n} (int)" for n, k, _ in outputs]
    returns = ("None." if not outputs else kinds_out[0] + "." if len(outputs) == 1 else
               "a tuple (" + ", ".join(kinds_out) + ").")
    raises = []
    if any(k == "value" for _, k, _ in inputs):
        raises.append("ValueError, TypeError: an argument outside its C type's range, or not an "
                      "int; nothing is sent.")
    if any(k == "mac_in" for _, k, _ in inputs):
        raises.append("ValueError: not a MAC address of 6 bytes; nothing is sent.")
    method.__name__ = method_name
    method.__qualname__ = "Adapter." + method_name
    method.__signature__ = inspect.Signature(
        [inspect.Parameter(n, inspect.Parameter.POSITIONAL_ONLY)
         for n in ["self"] + [n for n, _, _ in inputs]])
    method.__doc__ = _docstring(name, f"{method_name}({', '.join(n for n, _, _ in inputs)})",
                                described, returns, raises)
    return method


class Adapter:
    """An open adapter (OpenDUT); close() or the end of a with block closes it (CloseDUT),
    after stopping the tests started through it that still run. Every call after that raises
    AdapterClosedError ("adapter is closed"). Drive one adapter from one thread."""

    @_documented("OpenDUT", "Adapter(path)",
                 ["path: str, the device path as adapter_names() lists it."],
                 "the open Adapter.")
    def __init__(self, path):
        if not isinstance(path, str):
            raise TypeError(f"Adapter: path must be a str, not {type(path).__name__}")
        self._lib = raw.library()
        self.path = path
        self._running = []
        self.handle = None
        handle = self._lib.OpenDUT(raw.wide(path))
        _check("OpenDUT", handle)
        self.handle = ctypes.c_void_p(handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @property
    def closed(self):
        return self.handle is None

    def _live(self):
        if self.handle is None:
            raise AdapterClosedError()
        return self.handle

    @_documented("CloseDUT", "close()", [],
                 "None. A second close() does nothing. Tests started through this adapter "
                 "(continuous_frames(), tx_continuous(), ...) that still run are stopped first.")
    def close(self):
        if self.handle is None:
            return
        first = None
        while self._running:
            try:
                self._running[-1].stop()
            except TalvenError as error:
                first = first or error
        _check("CloseDUT", self._lib.CloseDUT(self.handle))
        self.handle = None
        if first:
            raise first

    # EEPROM images, CIS data and the power table: bytes and mappings.
    @_documented("ReadEEprom", "read_eeprom(eeprom_type=None)",
                 ["eeprom_type: 1 or 2; None: what query_eeprom_type() reports."],
                 "bytes: the whole image, 128 bytes for type 1, 256 for type 2.",
                 ["ValueError: a type other than 1 or 2; nothing is sent."])
    def read_eeprom(self, eeprom_type=None):
        self._live()
        if eeprom_type is None:
            eeprom_type = self.query_eeprom_type()
        if eeprom_type not in (1, 2):
            raise ValueError(f"read_eeprom: eeprom_type is 1 or 2, not {eeprom_type!r}")
        buffer = (ctypes.c_uint8 * (128 if eeprom_type == 1 else 256))()
        _check("ReadEEprom", self._lib.ReadEEprom(self._live(), buffer, eeprom_type))
        return bytes(buffer)

    @_documented("WriteEEprom", "write_eeprom(image)",
                 ["image: bytes, 128 (type 1) or 256 (type 2) of them."], "None.",
                 ["ValueError: an image of another size; nothing is sent."])
    def write_eeprom(self, image):
        self._live()
        image = bytes(image)
        types = {128: 1, 256: 2}
        if len(image) not in types:
            raise ValueError("an EEPROM image has 128 or 256 bytes")
        buffer = (ctypes.c_uint8 * len(image)).from_buffer_copy(image)
        _check("WriteEEprom", self._lib.WriteEEprom(self._live(), buffer, types[len(image)]))

    @_documented("ReadPowerControl", "read_power_control()", [],
                 "{channel: (high, low)} for channels 1 to 14, {channel: entry} for the twelve "
                 "5 GHz channels with an EEPROM entry (power_table_from_bytes).")
    def read_power_control(self):
        buffer = (ctypes.c_uint8 * POWER_TABLE_LENGTH)()
        _check("ReadPowerControl",
               self._lib.ReadPowerControl(self._live(), buffer, POWER_TABLE_LENGTH))
        return power_table_from_bytes(buffer)

    @_documented("WritePowerControl", "write_power_control(mapping)",
                 ["mapping: every one of the 26 channels of read_power_control(), 2.4 GHz as "
                  "(high, low) of 0 to 15, 5 GHz as 0 to 255: read, change, write back."],
                 "None.", ["ValueError: a channel missing or unknown, or a value out of range; "
                           "nothing is sent."])
    def write_power_control(self, mapping):
        self._live()
        buffer = (ctypes.c_uint8 * POWER_TABLE_LENGTH).from_buffer_copy(
            power_table_to_bytes(mapping))
        _check("WritePowerControl",
               self._lib.WritePowerControl(self._live(), buffer, POWER_TABLE_LENGTH))

    @_documented("ReadCISData", "read_cis_data()", [], "bytes: the CIS data.")
    def read_cis_data(self):
        buffer = (ctypes.c_uint8 * CONSTANTS["TALVEN_CIS_CAPACITY"])()
        length = ctypes.c_uint32(0)
        _check("ReadCISData", self._lib.ReadCISData(self._live(), buffer, ctypes.byref(length)))
        return bytes(buffer)[:length.value]

    @_documented("WriteCISData", "write_cis_data(data)", ["data: bytes."], "None.",
                 ["ValueError: more bytes than a ULONG counts; nothing is sent."])
    def write_cis_data(self, data):
        self._live()
        data = bytes(data)
        length = _c_value("write_cis_data", "len(data)", "ULONG", len(data))
        buffer = (ctypes.c_uint8 * max(1, len(data))).from_buffer_copy(data or b"\0")
        _check("WriteCISData", self._lib.WriteCISData(self._live(), buffer, length))

    # Frames: a packet of the library's own for each call.
    def send_frame(self, frame):
        """Sends one frame and waits for its write (PacketAllocatePacket, PacketInitPacket,
        PacketSendPacket with sync, PacketFreePacket). Raises TalvenError naming the operation
        that failed, AdapterClosedError on a closed adapter."""
        handle = self._live()
        frame = bytes(frame)
        length = _c_value("send_frame", "len(frame)", "ULONG", len(frame))
        frame = (ctypes.c_uint8 * max(1, length)).from_buffer_copy(frame or b"\0")
        packet = _check("PacketAllocatePacket", self._lib.PacketAllocatePacket(handle))
        try:
            self._lib.PacketInitPacket(packet, ctypes.cast(frame, ctypes.c_void_p), length)
            _check("PacketSendPacket", self._lib.PacketSendPacket(handle, packet, 1))
        finally:
            self._lib.PacketFreePacket(packet)

    def receive_frame(self):
        """One received frame as bytes (PacketReceivePacket into a 2000-byte buffer). Raises
        TalvenError naming the operation that failed, AdapterClosedError on a closed adapter."""
        handle = self._live()
        buffer = (ctypes.c_uint8 * CONSTANTS["TALVEN_RECEIVE_CAPACITY"])()
        length = ctypes.c_uint32(0)
        packet = _check("PacketAllocatePacket", self._lib.PacketAllocatePacket(handle))
        try:
            self._lib.PacketInitPacket(packet, ctypes.cast(buffer, ctypes.c_void_p), len(buffer))
            _check("PacketReceivePacket",
                   self._lib.PacketReceivePacket(handle, packet, 0, ctypes.byref(length)))
        finally:
            self._lib.PacketFreePacket(packet)
        return bytes(buffer)[:length.value]

    # Tests that run until they are stopped: with blocks whose end stops them, also on an
    # exception; close() stops those still running.
    def _running_test(self, stop):
        return _RunningTest(self, stop)

    def continuous_frames(self):
        """with dut.continuous_frames(): the library's worker sends the 1400-byte test frame
        back to back inside the block (PKT32OFDMContinuousTx 1, then 0 at the end of the
        block, also on an exception). There is one worker state per process, not per adapter.
        Raises TalvenError when the start or the stop fails."""
        self.pkt32_ofdm_continuous_tx(1)
        return self._running_test(lambda: self.pkt32_ofdm_continuous_tx(0))

    def tx_continuous(self, value, stop_value=0):
        """with dut.tx_continuous(value): the driver's own continuous transmission
        (SetTxContinuousDirectCall with `value`), switched off with `stop_value` at the end of
        the block, also on an exception. Both codes are the driver's (nonzero on, 0 off as the
        reference states)."""
        _c_value("tx_continuous", "stop_value", "ULONG", stop_value)
        self.set_tx_continuous_direct_call(value)
        return self._running_test(lambda: self.set_tx_continuous_direct_call(stop_value))

    def single_carrier_tx(self, value, stop_value=0):
        """with dut.single_carrier_tx(value): SetSingleCarrierTxContinuous with `value`, then
        with `stop_value` at the end of the block."""
        _c_value("single_carrier_tx", "stop_value", "ULONG", stop_value)
        self.set_single_carrier_tx_continuous(value)
        return self._running_test(lambda: self.set_single_carrier_tx_continuous(stop_value))

    def carrier_suppression_tx(self, value, stop_value=0):
        """with dut.carrier_suppression_tx(value): SetCarrierSuppressionTxContinuous with
        `value`, then with `stop_value` at the end of the block."""
        _c_value("carrier_suppression_tx", "stop_value", "ULONG", stop_value)
        self.set_carrier_suppression_tx_continuous(value)
        return self._running_test(lambda: self.set_carrier_suppression_tx_continuous(stop_value))

    def packet_rx_test(self):
        """with dut.packet_rx_test(): the receive test (SetPacketRxTest 1, then 0 at the end of
        the block)."""
        self.set_packet_rx_test(1)
        return self._running_test(lambda: self.set_packet_rx_test(0))


class _RunningTest:
    """A test started through an adapter: stopped once, at the end of its with block or by the
    adapter's close(). A stop that fails raises TalvenError."""

    def __init__(self, adapter, stop):
        self._adapter, self._stop, self._done = adapter, stop, False
        adapter._running.append(self)

    def __enter__(self):
        return self._adapter

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        if self._done:
            return
        self._done = True
        self._adapter._running.remove(self)
        self._stop()


def _add_methods():
    # The same operations as the generated methods of the C# wrapper (bindings/generate.py,
    # adapter_methods); these eight have methods written above.
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
