// A short station session through Talven.cs: open, test mode, channel, rate, power, a burst of
// continuous transmit, power table, MAC address, close. On Linux it runs against libtalven.so
// (the simulated adapter); on Windows the same program runs against talven.dll (32-bit process).
// Prints PASS/FAIL lines and exits with the number of failures.
using System;
using System.Text;
using System.Threading;
using Talven;

public static class Session
{
    static int failures;

    static void Expect(string what, ulong got, ulong want)
    {
        ExpectText(what, got.ToString("X"), want.ToString("X"));
    }

    static void ExpectText(string what, string got, string want)
    {
        if (got == want)
        {
            Console.WriteLine("PASS: " + what);
        }
        else
        {
            Console.WriteLine("FAIL: " + what + ": got " + got + ", want " + want);
            failures++;
        }
    }

    public static int Main()
    {
        Expect("StartPacketDriver", NativeMethods.StartPacketDriver("NORVAKS", 0), 1);
        byte[] names = new byte[1024];
        uint size = (uint)names.Length;
        Expect("PacketGetAdapterNames", NativeMethods.PacketGetAdapterNames(names, ref size), 1);
        string list = Encoding.Unicode.GetString(names, 0, (int)Math.Min(size, (uint)names.Length));
        string path = list.Split('\0')[0];
        Console.WriteLine("adapter: " + path);
        IntPtr adapter = NativeMethods.OpenDUT(path);
        Expect("OpenDUT", adapter != IntPtr.Zero ? 1u : 0u, 1);
        if (adapter == IntPtr.Zero) return 1;

        Expect("StartTest", NativeMethods.StartTest(adapter), 1);
        Expect("SetChannelDirectCall", NativeMethods.SetChannelDirectCall(adapter, 6), 1);
        Expect("SetDataRate", NativeMethods.SetDataRate(adapter, 108), 1);
        Expect("SetTxPowerControl", NativeMethods.SetTxPowerControl(adapter, 12), 1);
        uint power;
        Expect("GetTxPowerControl", NativeMethods.GetTxPowerControl(adapter, out power), 1);
        Expect("  power", power, 12);

        Expect("ResetTxPacketSent", NativeMethods.ResetTxPacketSent(adapter), 1);
        Expect("PKT32OFDMContinuousTx start", NativeMethods.PKT32OFDMContinuousTx(adapter, 1), 1);
        Thread.Sleep(300);
        Expect("PKT32OFDMContinuousTx stop", NativeMethods.PKT32OFDMContinuousTx(adapter, 0), 1);
        uint sent;
        Expect("QueryTxPacketSent", NativeMethods.QueryTxPacketSent(adapter, out sent), 1);
        Expect("  frames sent", sent > 0 ? 1u : 0u, 1);

        byte[] table = new byte[Constants.TALVEN_POWER_TABLE_LENGTH];
        Expect("ReadPowerControl", NativeMethods.ReadPowerControl(adapter, table, table.Length), 1);
        Expect("  channel 1 low, high", (ulong)(table[0] | table[60] << 8), 0x090A);
        Expect("  channel 36 entry (byte 19)", table[19], 0x40);

        byte[] mac = new byte[6];
        Expect("ReadMACAddress", NativeMethods.ReadMACAddress(adapter, mac), 1);
        ExpectText("  MAC", BitConverter.ToString(mac), "00-5B-A7-12-34-56");
        byte[] other = { 0x02, 0x11, 0x22, 0x33, 0x44, 0x55 };
        Expect("WriteMACAddress", NativeMethods.WriteMACAddress(adapter, other), 1);
        Expect("ReadMACAddress", NativeMethods.ReadMACAddress(adapter, mac), 1);
        Expect("  MAC written", mac[5], 0x55);

        byte offset;
        Expect("ReadEEpromByte", NativeMethods.ReadEEpromByte(adapter, 10, out offset), 1);
        Expect("  byte 10", offset, 0x35);
        byte high, low;
        Expect("ReadEEpromTxPowerBaseOffset",
               NativeMethods.ReadEEpromTxPowerBaseOffset(adapter, out high, out low), 1);
        Expect("  high, low", (ulong)(high << 4 | low), 0x35);
        uint value;
        Expect("ReadRegData", NativeMethods.ReadRegData(adapter, 0x50, 4, out value), 1);
        Expect("PacketSetFilter", NativeMethods.PacketSetFilter(adapter, 0x0B), 1);
        byte[] image = new byte[256];
        Expect("ReadEEprom", NativeMethods.ReadEEprom(adapter, image, 2), 1);
        Expect("  vendor id word", (ulong)(image[2] | image[3] << 8), 0x2B1A);

        Expect("StopTest", NativeMethods.StopTest(adapter), 1);
        Expect("CloseDUT", NativeMethods.CloseDUT(adapter), 1);
        Console.WriteLine(failures + " failed");
        return failures;
    }
}
