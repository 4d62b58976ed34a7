// Adapter.cs - the .NET wrapper of talven.dll over the raw declarations of Talven.cs, the same as
// the Python package's: an Adapter opened from a device path and closed by Dispose, discovery
// that returns the paths as strings, a TalvenException naming the operation and its result,
// MAC addresses as PhysicalAddress (or text), EEPROM images as byte[], the power table as a
// dictionary by channel, and the transmit and receive tests as objects whose Dispose stops them.
// The operations without buffers of their own are generated into AdapterOperations.cs.
//
// For .NET Framework 4.0 and later and .NET 6 and later; talven.dll is a 32-bit DLL, so the
// program must run as a 32-bit process (PlatformTarget x86). On Linux, Mono finds libtalven.so
// for "talven.dll" (the simulated adapter).
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Net.NetworkInformation;
using System.Runtime.InteropServices;
using System.Text;

namespace Talven
{
    /// <summary>An operation of talven.dll returned its failure value.</summary>
    [Serializable]
    public class TalvenException : Exception
    {
        public TalvenException(string operation, long result)
            : base(operation + " failed (result " + result.ToString(CultureInfo.InvariantCulture) + ")")
        {
            Operation = operation;
            Result = result;
        }

        /// <summary>The operation's name as in talven.h, for example "SetChannelDirectCall".</summary>
        public string Operation { get; private set; }

        /// <summary>What it returned (0 for the 32-bit results, or a null pointer).</summary>
        public long Result { get; private set; }
    }

    /// <summary>The packet driver's service and the adapters bound to it.</summary>
    public static class PacketDriver
    {
        /// <summary>The packet driver's service name.</summary>
        public const string ServiceName = "NORVAKS";

        /// <summary>StartPacketDriver: starts the service (administrator rights; on failure the
        /// library shows a message box and waits for OK). A running service is no error.</summary>
        public static void Start(string service = ServiceName)
        {
            if (service == null) throw new ArgumentNullException("service");
            if (NativeMethods.StartPacketDriver(service, 0) == 0) throw new TalvenException("StartPacketDriver", 0);
        }

        /// <summary>The device paths of the bound adapters, as PacketGetAdapterNames lists them.</summary>
        public static string[] AdapterNames()
        {
            uint capacity = 4096;
            byte[] buffer;
            uint size;
            while (true)
            {
                buffer = new byte[capacity];
                size = capacity;
                if (NativeMethods.PacketGetAdapterNames(buffer, ref size) == 0)
                    throw new TalvenException("PacketGetAdapterNames", 0);
                if (size <= capacity) break;
                capacity = size;  // too small: the size written is the list's
            }
            string text = Encoding.Unicode.GetString(buffer, 0, (int)(size & ~1u));
            var names = new List<string>();
            foreach (string name in text.Split('\0'))
            {
                if (name.Length == 0) break;  // the empty string ends the list
                names.Add(name);
            }
            return names.ToArray();
        }
    }

    /// <summary>MAC addresses: six bytes, byte 0 first, as text "00:5B:A7:12:34:56".</summary>
    public static class MacAddress
    {
        /// <summary>"00:5B:A7:12:34:56", "00-5b-a7-12-34-56" or "005BA7123456".</summary>
        public static PhysicalAddress Parse(string text)
        {
            if (text == null) throw new ArgumentNullException("text");
            string[] parts = text.Trim().Split(':', '-');
            if (parts.Length == 1 && parts[0].Length == 12)
            {
                parts = new string[6];
                for (int i = 0; i < 6; i++) parts[i] = text.Trim().Substring(2 * i, 2);
            }
            if (parts.Length != 6) throw new FormatException("not a MAC address: \"" + text + "\"");
            var bytes = new byte[6];
            for (int i = 0; i < 6; i++)
            {
                if (parts[i].Length < 1 || parts[i].Length > 2 ||
                    !byte.TryParse(parts[i], NumberStyles.AllowHexSpecifier, CultureInfo.InvariantCulture, out bytes[i]))
                    throw new FormatException("not a MAC address: \"" + text + "\"");
            }
            return new PhysicalAddress(bytes);
        }

        /// <summary>"00:5B:A7:12:34:56".</summary>
        public static string ToText(PhysicalAddress address)
        {
            byte[] bytes = ToBytes(address);
            var parts = new string[6];
            for (int i = 0; i < 6; i++) parts[i] = bytes[i].ToString("X2", CultureInfo.InvariantCulture);
            return string.Join(":", parts);
        }

        /// <summary>The six bytes; any other length is refused before anything is sent.</summary>
        public static byte[] ToBytes(PhysicalAddress address)
        {
            if (address == null) throw new ArgumentNullException("address");
            byte[] bytes = address.GetAddressBytes();
            if (bytes.Length != 6) throw new ArgumentException("a MAC address has 6 bytes, not " + bytes.Length);
            return bytes;
        }
    }

    /// <summary>One channel's entry of the power-control table: two 4-bit values (High, Low) for
    /// the 2.4 GHz channels 1 to 14, one 8-bit Value for the twelve 5 GHz channels. Their meaning
    /// is the adapter driver's; talven passes them through.</summary>
    public struct PowerEntry : IEquatable<PowerEntry>
    {
        private readonly byte high, low, value;
        private readonly bool pair;

        private PowerEntry(bool pair, byte high, byte low, byte value)
        {
            this.pair = pair;
            this.high = high;
            this.low = low;
            this.value = value;
        }

        /// <summary>A 2.4 GHz entry: high and low 4-bit values, 0 to 15 each.</summary>
        public static PowerEntry Pair(int high, int low)
        {
            if (high < 0 || high > 15) throw new ArgumentOutOfRangeException("high", high, "a 4-bit value, 0 to 15");
            if (low < 0 || low > 15) throw new ArgumentOutOfRangeException("low", low, "a 4-bit value, 0 to 15");
            return new PowerEntry(true, (byte)high, (byte)low, 0);
        }

        /// <summary>A 5 GHz entry: one 8-bit value, 0 to 255.</summary>
        public static PowerEntry Single(int value)
        {
            if (value < 0 || value > 255) throw new ArgumentOutOfRangeException("value", value, "an 8-bit value, 0 to 255");
            return new PowerEntry(false, 0, 0, (byte)value);
        }

        public bool IsPair { get { return pair; } }
        public byte High { get { return RequirePair().high; } }
        public byte Low { get { return RequirePair().low; } }
        public byte Value
        {
            get
            {
                if (pair) throw new InvalidOperationException("a 2.4 GHz entry has High and Low");
                return value;
            }
        }

        private PowerEntry RequirePair()
        {
            if (!pair) throw new InvalidOperationException("a 5 GHz entry has one Value");
            return this;
        }

        public bool Equals(PowerEntry other)
        {
            return pair == other.pair && high == other.high && low == other.low && value == other.value;
        }

        public override bool Equals(object obj) { return obj is PowerEntry && Equals((PowerEntry)obj); }
        public override int GetHashCode() { return (pair ? 0x10000 : 0) | high << 12 | low << 8 | value; }

        /// <summary>"HIGH/LOW" for 2.4 GHz, "VALUE" for 5 GHz, as talvenctl writes them.</summary>
        public override string ToString()
        {
            return pair ? high + "/" + low : value.ToString(CultureInfo.InvariantCulture);
        }
    }

    /// <summary>The layout of the power-control buffer of ReadPowerControl and WritePowerControl
    /// (TALVEN_POWER_TABLE_LENGTH bytes): bytes 0 to 13 the low 4-bit values of channels 1 to 14,
    /// bytes 60 to 73 their high values, byte 14 + i the entry of position i of the driver's list
    /// of 46 channels (26 to 86 even, 100 to 140 by 4, 149 to 161 by 4), of which only the twelve
    /// of Channels5GHz have an EEPROM entry.</summary>
    public static class PowerTable
    {
        public static readonly int[] Channels24GHz = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14 };
        public static readonly int[] Channels5GHz = { 36, 40, 44, 48, 52, 56, 60, 64, 149, 153, 157, 161 };

        /// <summary>The buffer byte of a 5 GHz channel's entry.</summary>
        public static int EntryByte(int channel)
        {
            if (Array.IndexOf(Channels5GHz, channel) < 0)
                throw new ArgumentOutOfRangeException("channel", channel, "no EEPROM entry at 5 GHz");
            int position = channel <= 86 ? (channel - 26) / 2 : channel <= 140 ? 31 + (channel - 100) / 4 : 42 + (channel - 149) / 4;
            return 14 + position;
        }

        /// <summary>{channel: entry} for the 26 channels with an EEPROM entry.</summary>
        public static SortedDictionary<int, PowerEntry> FromBytes(byte[] table)
        {
            if (table == null) throw new ArgumentNullException("table");
            if (table.Length < Constants.TALVEN_POWER_TABLE_LENGTH)
                throw new ArgumentException("a power table has " + Constants.TALVEN_POWER_TABLE_LENGTH + " bytes");
            var result = new SortedDictionary<int, PowerEntry>();
            foreach (int ch in Channels24GHz) result[ch] = PowerEntry.Pair(table[60 + ch - 1] & 0x0F, table[ch - 1] & 0x0F);
            foreach (int ch in Channels5GHz) result[ch] = PowerEntry.Single(table[EntryByte(ch)]);
            return result;
        }

        /// <summary>The buffer for a dictionary that names every one of the 26 channels, each with
        /// the kind of entry its band has.</summary>
        public static byte[] ToBytes(IDictionary<int, PowerEntry> entries)
        {
            if (entries == null) throw new ArgumentNullException("entries");
            var table = new byte[Constants.TALVEN_POWER_TABLE_LENGTH];
            foreach (int ch in entries.Keys)
            {
                if (Array.IndexOf(Channels24GHz, ch) < 0 && Array.IndexOf(Channels5GHz, ch) < 0)
                    throw new ArgumentException("channel " + ch + " has no EEPROM entry");
            }
            foreach (int ch in Channels24GHz)
            {
                PowerEntry entry;
                if (!entries.TryGetValue(ch, out entry)) throw new ArgumentException("the power table needs channel " + ch);
                if (!entry.IsPair) throw new ArgumentException("channel " + ch + " takes High and Low");
                table[ch - 1] = entry.Low;
                table[60 + ch - 1] = entry.High;
            }
            foreach (int ch in Channels5GHz)
            {
                PowerEntry entry;
                if (!entries.TryGetValue(ch, out entry)) throw new ArgumentException("the power table needs channel " + ch);
                if (entry.IsPair) throw new ArgumentException("channel " + ch + " takes one Value");
                table[EntryByte(ch)] = entry.Value;
            }
            return table;
        }
    }

    /// <summary>An open adapter (OpenDUT). Dispose stops the tests started through it that are still
    /// running, then closes it (CloseDUT); every call after that throws ObjectDisposedException
    /// ("adapter is closed"). Drive one adapter from one thread.</summary>
    public sealed partial class Adapter : IDisposable
    {
        private IntPtr handle;
        private readonly List<RunningTest> running = new List<RunningTest>();

        /// <summary>OpenDUT on a device path as PacketDriver.AdapterNames() lists it.</summary>
        public Adapter(string devicePath)
        {
            if (devicePath == null) throw new ArgumentNullException("devicePath");
            handle = NativeMethods.OpenDUT(devicePath);
            if (handle == IntPtr.Zero) throw new TalvenException("OpenDUT", 0);
            Path = devicePath;
        }

        /// <summary>The adapter at devicePath, or when it is null the first one the packet driver lists.</summary>
        public static Adapter Open(string devicePath = null)
        {
            if (devicePath == null)
            {
                string[] names = PacketDriver.AdapterNames();
                if (names.Length == 0) throw new TalvenException("PacketGetAdapterNames", 0);
                devicePath = names[0];
            }
            return new Adapter(devicePath);
        }

        /// <summary>The device path it was opened with.</summary>
        public string Path { get; private set; }

        public bool IsClosed { get { return handle == IntPtr.Zero; } }

        /// <summary>The Adapter pointer for the raw NativeMethods; ObjectDisposedException once closed.</summary>
        public IntPtr Handle
        {
            get
            {
                if (handle == IntPtr.Zero) throw new ObjectDisposedException("Adapter", "adapter is closed");
                return handle;
            }
        }

        private static void Check(string operation, long result)
        {
            if (result == 0) throw new TalvenException(operation, result);
        }

        /// <summary>Stops what is still running, then CloseDUT. A second Dispose does nothing. Throws
        /// TalvenException when CloseDUT fails (the adapter then stays open).</summary>
        public void Dispose()
        {
            if (handle == IntPtr.Zero) return;
            Exception first = null;
            for (int i = running.Count - 1; i >= 0; i--)
            {
                try
                {
                    running[i].Dispose();
                }
                catch (TalvenException e)
                {
                    if (first == null) first = e;
                }
            }
            Check("CloseDUT", NativeMethods.CloseDUT(handle));
            handle = IntPtr.Zero;
            if (first != null) throw first;
        }

        // ---- EEPROM image, CIS data and the power table ----

        /// <summary>ReadEEprom: the whole image, 128 bytes for type 1 or 256 for type 2; the type
        /// QueryEEpromType reports when none is given.</summary>
        public byte[] ReadEEprom(uint? type = null)
        {
            uint t = type ?? QueryEEpromType();
            if (t != 1 && t != 2) throw new ArgumentOutOfRangeException("type", t, "1 (128 bytes) or 2 (256 bytes)");
            var image = new byte[t == 1 ? 128 : 256];
            Check("ReadEEprom", NativeMethods.ReadEEprom(Handle, image, t));
            return image;
        }

        /// <summary>WriteEEprom: a whole image of 128 (type 1) or 256 (type 2) bytes.</summary>
        public void WriteEEprom(byte[] image)
        {
            if (image == null) throw new ArgumentNullException("image");
            if (image.Length != 128 && image.Length != 256) throw new ArgumentException("an EEPROM image has 128 or 256 bytes");
            Check("WriteEEprom", NativeMethods.WriteEEprom(Handle, image, image.Length == 128 ? 1u : 2u));
        }

        /// <summary>ReadPowerControl: {channel: entry} for channels 1 to 14 (High, Low) and the
        /// twelve 5 GHz channels (Value).</summary>
        public SortedDictionary<int, PowerEntry> ReadPowerControl()
        {
            var table = new byte[Constants.TALVEN_POWER_TABLE_LENGTH];
            Check("ReadPowerControl", NativeMethods.ReadPowerControl(Handle, table, table.Length));
            return PowerTable.FromBytes(table);
        }

        /// <summary>WritePowerControl: every channel's entry; the dictionary names all 26 channels
        /// (read, change, write back).</summary>
        public void WritePowerControl(IDictionary<int, PowerEntry> entries)
        {
            byte[] table = PowerTable.ToBytes(entries);
            Check("WritePowerControl", NativeMethods.WritePowerControl(Handle, table, table.Length));
        }

        /// <summary>ReadCISData: the CIS bytes.</summary>
        public byte[] ReadCISData()
        {
            var buffer = new byte[Constants.TALVEN_CIS_CAPACITY];
            uint length;
            Check("ReadCISData", NativeMethods.ReadCISData(Handle, buffer, out length));
            var data = new byte[Math.Min(length, (uint)buffer.Length)];
            Array.Copy(buffer, data, data.Length);
            return data;
        }

        /// <summary>WriteCISData: the CIS bytes.</summary>
        public void WriteCISData(byte[] data)
        {
            if (data == null) throw new ArgumentNullException("data");
            Check("WriteCISData", NativeMethods.WriteCISData(Handle, data.Length == 0 ? new byte[1] : data, (uint)data.Length));
        }

        // ---- tests that run until they are stopped ----

        /// <summary>PKT32OFDMContinuousTx: the library's worker sends the test frame back to back
        /// until Dispose (or the adapter's Dispose) stops it. The worker state is one per process.</summary>
        public IDisposable ContinuousFrames()
        {
            Check("PKT32OFDMContinuousTx", NativeMethods.PKT32OFDMContinuousTx(Handle, 1));
            return Started("PKT32OFDMContinuousTx", h => NativeMethods.PKT32OFDMContinuousTx(h, 0));
        }

        /// <summary>SetTxContinuousDirectCall(value) until Dispose sends stopValue: the driver's
        /// own continuous transmission; both codes are the driver's (0 is off, as the reference
        /// says).</summary>
        public IDisposable TxContinuous(uint value, uint stopValue = 0)
        {
            SetTxContinuousDirectCall(value);
            return Started("SetTxContinuousDirectCall", h => NativeMethods.SetTxContinuousDirectCall(h, stopValue));
        }

        /// <summary>SetSingleCarrierTxContinuous(value) until Dispose sends stopValue.</summary>
        public IDisposable SingleCarrierTx(uint value, uint stopValue = 0)
        {
            SetSingleCarrierTxContinuous(value);
            return Started("SetSingleCarrierTxContinuous", h => NativeMethods.SetSingleCarrierTxContinuous(h, stopValue));
        }

        /// <summary>SetCarrierSuppressionTxContinuous(value) until Dispose sends stopValue.</summary>
        public IDisposable CarrierSuppressionTx(uint value, uint stopValue = 0)
        {
            SetCarrierSuppressionTxContinuous(value);
            return Started("SetCarrierSuppressionTxContinuous",
                           h => NativeMethods.SetCarrierSuppressionTxContinuous(h, stopValue));
        }

        /// <summary>SetPacketRxTest(1) until Dispose sends SetPacketRxTest(0).</summary>
        public IDisposable PacketRxTest()
        {
            SetPacketRxTest(1);
            return Started("SetPacketRxTest", h => NativeMethods.SetPacketRxTest(h, 0));
        }

        private RunningTest Started(string operation, Func<IntPtr, uint> stop)
        {
            var test = new RunningTest(this, operation, stop);
            running.Add(test);
            return test;
        }

        // Stops its test once: at its own Dispose, or at the adapter's when still running. A stop
        // that fails throws TalvenException, so a transmitter left on is never silent.
        private sealed class RunningTest : IDisposable
        {
            private readonly Adapter adapter;
            private readonly string operation;
            private readonly Func<IntPtr, uint> stop;

            public RunningTest(Adapter adapter, string operation, Func<IntPtr, uint> stop)
            {
                this.adapter = adapter;
                this.operation = operation;
                this.stop = stop;
            }

            public void Dispose()
            {
                if (!adapter.running.Remove(this)) return;
                Check(operation, stop(adapter.Handle));
            }
        }
    }
}
