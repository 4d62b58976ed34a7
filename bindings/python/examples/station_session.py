#!/usr/bin/env python3
"""A station session in Python: open the first adapter, test mode, channel 6, rate code 108,
power 12, continuous test frames for a while, then the power table and the MAC address.

    python station_session.py [--seconds 10] [--device \\Device\\...]

On Windows run it with a 32-bit Python beside talven.dll; on Linux with TALVEN_LIBRARY naming
libtalven.so (or the installed package, which finds the installed library).
"""
import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import talven  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--device", help="device path; default: the first the driver lists")
    args = parser.parse_args()
    try:
        talven.start_packet_driver()
        with talven.open_adapter(args.device) as dut:
            print("adapter:", dut.path)
            dut.start_test()
            dut.set_channel_direct_call(6)
            dut.set_data_rate(108)
            dut.set_tx_power_control(12)
            dut.reset_tx_packet_sent()
            with dut.continuous_frames():
                time.sleep(args.seconds)
            print("frames sent:", dut.query_tx_packet_sent())
            for channel, value in sorted(dut.read_power_control().items()):
                print(f"channel {channel}: {value}")
            print("MAC address:", dut.read_mac_address())
            print("EEPROM MAC address:", dut.read_eeprom_mac_addr())
            dut.stop_test()
    except talven.TalvenError as error:
        print("FAILED:", error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
