// Runs the C# declarations against the host build's libmerlox.so and its simulated
// card: each call's parameters must be marshalled as merlox.h has them, or the
// values seen here differ from what the simulator was told. Exit code 0 on success.
using System;
using System.Runtime.InteropServices;
using System.Text;
using MerloxCards;

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
        // No shared simulator runs: the process keeps its own, which the rest uses.
        string nobody = "nobody-serves-this-" + System.Diagnostics.Process.GetCurrentProcess().Id;
        ExpectStatus(MerloxSim.MERLOXSIM_UseSharedSimulator(nobody), MerloxSim.StatusNoSimulator,
                     "MERLOXSIM_UseSharedSimulator of a simulator that does not run");
        ExpectStatus(MerloxSim.MERLOXSIM_UseSharedSimulator("no such/name"),
                     MerloxSim.StatusInvalidParameter, "MERLOXSIM_UseSharedSimulator of a bad name");
        ExpectStatus(MerloxSim.MERLOXSIM_UseInProcessSimulator(), 0, "MERLOXSIM_UseInProcessSimulator");
        MerloxSim.MERLOXSIM_Reset();
        int card = MerloxSim.MERLOXSIM_Plug(0x8080);
        MerloxSim.MERLOXSIM_SetSerialNumber(card, 0x1122334455667788UL);
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

        MerloxSim.MERLOXSIM_SetInputs(card, 0xA5);
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
        MerloxSim.MERLOXSIM_AdvanceClock(1234);
        ushort timestamp;
        ExpectStatus(Merlox.DI_ReadTimestamp(0, out timestamp), 0, "DI_ReadTimestamp");
        Expect(timestamp == 1234, "timestamp " + timestamp);
        MerloxSim.MERLOXSIM_SetInputs(card, 0x0F);
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

        MerloxSim.MERLOXSIM_SetSensorCounts(card, new ushort[] { 26000, 30000, 100, 32767, 50000, 65535 });
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

        // Faults and observations: a failure without an error code, a card that
        // vanishes at the next watchdog command, and the state the library left.
        ExpectStatus(MerloxSim.MERLOXSIM_FailRequest(card, MerloxSim.ControlTransfer, 0x40, 0, 0), 0,
                     "MERLOXSIM_FailRequest");
        ExpectStatus(Merlox.WDG_Pet(0), Merlox.StatusGenFailure, "WDG_Pet meeting a failure");
        MERLOXSIM_Request logged;
        uint capacity = 0;
        ExpectStatus(MerloxSim.MERLOXSIM_GetRequest(MerloxSim.MERLOXSIM_RequestCount() - 1,
                                                    out logged, null, ref capacity), 0,
                     "MERLOXSIM_GetRequest");
        Expect(logged.Request == 0x40 && logged.Index == 0x50 && logged.Error == 0,
               "logged pet " + logged.Request + "/" + logged.Index + ", error " + logged.Error);
        MERLOXSIM_CardState state;
        ExpectStatus(MerloxSim.MERLOXSIM_GetCardState(card, out state), 0, "MERLOXSIM_GetCardState");
        Expect(state.Plugged == 1 && state.Outputs == 0x5A && state.Configuration[0] == 14,
               "card state: plugged " + state.Plugged + ", outputs " + state.Outputs);
        ExpectStatus(MerloxSim.MERLOXSIM_SetVanishedError(1167), 0, "MERLOXSIM_SetVanishedError");
        ExpectStatus(MerloxSim.MERLOXSIM_VanishAtRequest(card, 0, MerloxSim.AnyRequest, 0), 0,
                     "MERLOXSIM_VanishAtRequest");
        ExpectStatus(Merlox.WDG_Pet(0), 1617, "WDG_Pet on a vanished card");
        MERLOXSIM_WatchdogState watchdog;
        ExpectStatus(MerloxSim.MERLOXSIM_GetWatchdog(card, out watchdog), 0, "MERLOXSIM_GetWatchdog");
        Expect(watchdog.TimeoutSeconds == 2 && watchdog.MillisecondsLeft == 0,
               "watchdog: timeout " + watchdog.TimeoutSeconds + ", left " + watchdog.MillisecondsLeft);

        Merlox.MERLOX_CloseAll();
        Expect(MerloxSim.MERLOXSIM_ViolationCount() == 0, "no request the driver would refuse");
        MerloxSim.MERLOXSIM_Reset();
        Console.WriteLine(failures == 0 ? "all passed" : failures + " failed");
        return failures == 0 ? 0 : 1;
    }
}
