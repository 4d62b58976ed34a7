// A station session through the wrapper (Adapter.cs), and what the wrapper promises: values
// back as results, failures as TalvenException, tests stopped by Dispose even when the block
// throws, a closed adapter refused. Runs against libtalven.so under Mono (the simulated adapter,
// whose fault interface it declares itself). Prints PASS/FAIL lines, exits with the failures.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Net.NetworkInformation;
using System.Runtime.InteropServices;
using Talven;

public static class WrapperSession
{
    [DllImport("talven.dll")]
    static extern int talven_sim_fail_oid(uint oid, int mode, int count);
    [DllImport("talven.dll")]
    static extern void talven_sim_clear_faults();
    [DllImport("talven.dll")]
    static extern uint talven_sim_request_count(uint oid);

    const int FailRequest = 0;
    static int failures;

    static void Expect(string what, bool ok, string detail = "")
    {
        Console.WriteLine((ok ? "PASS: " : "FAIL: ") + what + (ok || detail == "" ? "" : ": " + detail));
        if (!ok) failures++;
    }

    static void Equal<T>(string what, T got, T want)
    {
        Expect(what, EqualityComparer<T>.Default.Equals(got, want), "got " + got + ", want " + want);
    }

    // Runs `call` and expects it to throw E; returns the exception or null.
    static E Throws<E>(string what, Action call) where E : Exception
    {
        try
        {
            call();
        }
        catch (E e)
        {
            Expect(what, true);
            return e;
        }
        catch (Exception e)
        {
            Expect(what, false, "threw " + e.GetType().Name + ": " + e.Message);
            return null;
        }
        Expect(what, false, "nothing thrown");
        return null;
    }

    public static int Main()
    {
        try
        {
            Run();
        }
        catch (Exception e)
        {
            Expect("session ran to its end", false, e.ToString());
        }
        Console.WriteLine(failures + " failed");
        return failures;
    }

    static void Run()
    {
        PacketDriver.Start();
        string[] names = PacketDriver.AdapterNames();
        Expect("AdapterNames lists the adapter", names.Length == 1 && names[0].StartsWith(@"\Device\"),
               string.Join("|", names));

        Adapter kept;
        using (Adapter dut = Adapter.Open())
        {
            kept = dut;
            Equal("Path", dut.Path, names[0]);
            dut.StartTest();
            dut.SetChannelDirectCall(6);
            dut.SetDataRate(108);
            dut.SetTxPowerControl(12);
            Equal("GetTxPowerControl", dut.GetTxPowerControl(), 12u);

            // The frame stream: wait for the counter, bounded, instead of sleeping.
            dut.ResetTxPacketSent();
            uint sent = 0;
            using (dut.ContinuousFrames())
            {
                var clock = Stopwatch.StartNew();
                while (sent == 0 && clock.Elapsed < TimeSpan.FromSeconds(30)) sent = dut.QueryTxPacketSent();
            }
            Expect("ContinuousFrames sent frames", sent > 0);

            SortedDictionary<int, PowerEntry> table = dut.ReadPowerControl();
            Equal("power table: 26 channels", table.Count, 26);
            Equal("channel 1 (high/low)", table[1], PowerEntry.Pair(9, 10));
            Equal("channel 36", table[36].Value, (byte)0x40);
            var changed = new SortedDictionary<int, PowerEntry>(table);
            changed[3] = PowerEntry.Pair(1, 15);
            changed[157] = PowerEntry.Single(0x77);
            dut.WritePowerControl(changed);
            Expect("power table written and read back", new List<KeyValuePair<int, PowerEntry>>(dut.ReadPowerControl())
                .TrueForAll(kv => changed[kv.Key].Equals(kv.Value)));
            dut.WritePowerControl(table);
            changed.Remove(64);
            Throws<ArgumentException>("an incomplete power table is refused", () => dut.WritePowerControl(changed));
            Throws<ArgumentOutOfRangeException>("a 4-bit value of 16 is refused", () => PowerEntry.Pair(16, 0));

            Equal("ReadMACAddress", MacAddress.ToText(dut.ReadMACAddress()), "00:5B:A7:12:34:56");
            dut.WriteMACAddress("02-11-22-33-44-5f");
            Equal("WriteMACAddress from text", dut.ReadMACAddress(), MacAddress.Parse("02:11:22:33:44:5F"));
            Equal("ReadEEpromMacAddr (the EEPROM copy)", MacAddress.ToText(dut.ReadEEpromMacAddr()), "00:5B:A7:12:34:56");
            uint requests = talven_sim_request_count(0);
            Throws<FormatException>("a malformed MAC address is refused", () => dut.WriteMACAddress("00:11:22:33:44"));
            Throws<ArgumentException>("a 5-byte address is refused",
                                      () => dut.WriteMACAddress(new PhysicalAddress(new byte[5])));
            Equal("  nothing was sent", talven_sim_request_count(0), requests);

            byte[] image = dut.ReadEEprom();
            Equal("ReadEEprom: the type's size", image.Length, 256);
            Equal("  vendor id word", image[2] | image[3] << 8, 0x2B1A);
            Equal("ReadEEprom(1): the first 128 bytes", Convert.ToBase64String(dut.ReadEEprom(1)),
                  Convert.ToBase64String(image, 0, 128));
            Equal("ReadEEpromByte", dut.ReadEEpromByte(10), (byte)0x35);
            byte high, low;
            dut.ReadEEpromTxPowerBaseOffset(out high, out low);
            Equal("ReadEEpromTxPowerBaseOffset", high << 4 | low, 0x35);

            // A failure names the operation and its result; the next call succeeds again.
            talven_sim_fail_oid(0xFF4D1008, FailRequest, 1);
            TalvenException error = Throws<TalvenException>("a refused SetChannelDirectCall throws",
                                                            () => dut.SetChannelDirectCall(6));
            if (error != null)
            {
                Equal("  Operation", error.Operation, "SetChannelDirectCall");
                Equal("  Result", error.Result, 0L);
                Equal("  Message", error.Message, "SetChannelDirectCall failed (result 0)");
            }
            dut.SetChannelDirectCall(6);

            // A test block that throws still stops its test: start and stop both reach the driver.
            uint before = talven_sim_request_count(0xFF4D100B);
            Throws<InvalidOperationException>("a throwing block", () => {
                using (dut.TxContinuous(1))
                {
                    throw new InvalidOperationException("station fault");
                }
            });
            Equal("TxContinuous stopped by Dispose", talven_sim_request_count(0xFF4D100B) - before, 2u);

            // A test still running when the adapter is disposed is stopped before CloseDUT.
            before = talven_sim_request_count(0xFF4D1030);
            dut.PacketRxTest();
            dut.StopTest();
            dut.Dispose();
            Equal("PacketRxTest stopped by the adapter's Dispose", talven_sim_request_count(0xFF4D1030) - before, 2u);
        }

        Expect("the adapter is closed", kept.IsClosed);
        ObjectDisposedException closed = Throws<ObjectDisposedException>("a call on a closed adapter",
                                                                         () => kept.StartTest());
        if (closed != null) Expect("  says \"adapter is closed\"", closed.Message.Contains("adapter is closed"), closed.Message);
        Throws<TalvenException>("OpenDUT on a path no adapter has", () => new Adapter(@"\Device\NoSuchAdapter"));
        talven_sim_clear_faults();
    }
}
