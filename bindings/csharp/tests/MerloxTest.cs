// Runs the C# declarations against the host build's libmerlox.so and its simulated
// card: each call's parameters must be marshalled as merlox.h has them, or the
// values seen here differ from what the simulator was told. Exit code 0 on success.
using System;
using System.Runtime.InteropServices;
using System.Text;
using MerloxCards;

static class Sim
{
    [DllImport(Merlox.Library)] public static extern uint MERLOXSIM_Reset();
    [DllImport(Merlox.Library)] public static extern int MERLOXSIM_Plug(uint ProductId);
    [DllImport(Merlox.Library)] public static extern uint MERLOXSIM_SetInputs(int Card, uint Inputs);
    [DllImport(Merlox.Library)]
    public static extern uint MERLOXSIM_SetSensorCounts(int Card, ushort[] Counts);
    [DllImport(Merlox.Library)]
    public static extern uint MERLOXSIM_SetSerialNumber(int Card, ulong SerialNumber);
    [DllImport(Merlox.Library)] public static extern uint MERLOXSIM_ViolationCount();
    [DllImport(Merlox.Library)] public static extern uint MERLOXSIM_AdvanceClock(ulong Milliseconds);
}

static class MerloxTest
{
    static int failures = 0;

    static void Expect(bool condition, string what)
    {
        if (condition) return;
        Console.WriteLine("FAILED: " + what);
        ++failures;
    }

    static void ExpectStatus(uint status, uint expected, string what)
    {
        Expect(status == expected, what + ": status " + status + ", expected " + expected);
    }

    static int Main()
    {
        Sim.MERLOXSIM_Reset();
        int card = Sim.MERLOXSIM_Plug(0x8080);
        Sim.MERLOXSIM_SetSerialNumber(card, 0x1122334455667788UL);
        Expect(Merlox.GetNumCards() == 1, "one card found");

        double timeout = 2500.0;
        ExpectStatus(Merlox.WDG_SetTimeout(0, ref timeout), 0, "WDG_SetTimeout");
        Expect(timeout == 2000.0, "the timeout comes back as the card uses it: " + timeout);
        ExpectStatus(Merlox.WDG_Start(0), 0, "WDG_Start");
        int status;
        ExpectStatus(Merlox.WDG_ReadStatus(0, out status), 0, "WDG_ReadStatus");
        Expect((status & 1) == 1, "the watchdog runs: status " + status);
        ExpectStatus(Merlox.WDG_Stop(0), 0, "WDG_Stop");
        ExpectStatus(Merlox.WDG_Pet(40), Merlox.StatusInvalidIndex, "WDG_Pet of card 40");

        Sim.MERLOXSIM_SetInputs(card, 0xA5);
        byte inputs;
        ExpectStatus(Merlox.DI_PeekAll(0, out inputs), 0, "DI_PeekAll");
        Expect(inputs == 0xA5, "inputs " + inputs);
        int one, zero;
        Merlox.DI_Peek1(0, 0, out one);
        Merlox.DI_Peek1(0, 1, out zero);
        Expect(one == -1 && zero == 0, "DI_Peek1: " + one + ", " + zero);

        // The change to 0xA5 sent a change-of-state packet, which waits for the next wait.
        byte changed;
        ExpectStatus(Merlox.DI_WaitForCOS(0, out changed), 0, "DI_WaitForCOS");
        Expect(changed == 0xA5, "changed inputs " + changed);
        Sim.MERLOXSIM_AdvanceClock(1234);
        ushort timestamp;
        ExpectStatus(Merlox.DI_ReadTimestamp(0, out timestamp), 0, "DI_ReadTimestamp");
        Expect(timestamp == 1234, "timestamp " + timestamp);
        Sim.MERLOXSIM_SetInputs(card, 0x0F);
        uint packetTime;
        byte[] cos = new byte[7];
        TSensorRecord cosValues;
        ExpectStatus(Merlox.DI_WaitForCOSMulti(0, out packetTime, cos.Length, cos, out cosValues),
                     0, "DI_WaitForCOSMulti");
        Expect(packetTime == 1234 && cos[0] == 0x0F && cos[6] == 0xAA,
               "packet at " + packetTime + ": " + BitConverter.ToString(cos));
        Expect(cosValues.Analog != null && cosValues.Analog.Length == 4, "packet's sensor record");

        ExpectStatus(Merlox.DO_WriteAll(0, 0x5A), 0, "DO_WriteAll");
        byte outputs;
        ExpectStatus(Merlox.DO_ReadbackAll(0, out outputs), 0, "DO_ReadbackAll");
        Expect(outputs == 0x5A, "outputs " + outputs);

        Sim.MERLOXSIM_SetSensorCounts(card, new ushort[] { 26000, 30000, 100, 32767, 50000, 65535 });
        TSensorRecord record;
        ExpectStatus(Merlox.AI_ReadAll(0, out record), 0, "AI_ReadAll");
        Expect(record.Analog != null && record.Analog.Length == 4, "four analog values");
        double[] fields = { record.Temperature, record.Humidity, record.Analog[0],
                            record.Analog[1], record.Analog[2], record.Analog[3] };
        for (uint channel = 0; channel < 6; ++channel)
        {
            double value;
            ExpectStatus(Merlox.AI_Read1(0, channel, out value), 0, "AI_Read1");
            Expect(value == fields[channel], "channel " + channel + ": " + value + " in the record "
                                             + fields[channel]);
        }
        Expect(record.Analog[0] < record.Analog[1] && record.Analog[2] < record.Analog[3],
               "analog values in their fields");

        uint size = 64;
        StringBuilder name = new StringBuilder((int)size);
        ExpectStatus(Merlox.QueryCardName(0, ref size, name), 0, "QueryCardName");
        Expect(name.ToString() == "MERLOX-8" && size == 8, "name " + name + " of length " + size);
        uint pid;
        int baseAddress;
        size = 64;
        ExpectStatus(Merlox.QueryCardInfo(0, out pid, out baseAddress, ref size, name), 0,
                     "QueryCardInfo");
        Expect(pid == 0x8080 && baseAddress == 0, "info " + pid + ", " + baseAddress);
        ulong serial;
        ExpectStatus(Merlox.QueryCardSerialNumber(0, out serial), 0, "QueryCardSerialNumber");
        Expect(serial == 0x1122334455667788UL, "serial " + serial.ToString("X"));
        Expect(Merlox.GetCardBySerialNumber(0x1122334455667788UL) == 0, "card by serial");

        // The card's name as a string descriptor, through the generic vendor read.
        uint length = 64;
        byte[] data = new byte[length];
        ExpectStatus(Merlox.MERLOX_GenericVendorRead(0, 0x06, 0x0302, 0, ref length, data), 0,
                     "MERLOX_GenericVendorRead");
        Expect(length == 18 && data[0] == 18, "descriptor of " + length + " bytes");

        Merlox.MERLOX_CloseAll();
        Expect(Sim.MERLOXSIM_ViolationCount() == 0, "no request the driver would refuse");
        Sim.MERLOXSIM_Reset();
        Console.WriteLine(failures == 0 ? "all passed" : failures + " failed");
        return failures == 0 ? 0 : 1;
    }
}
