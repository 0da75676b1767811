// MerloxCards.Card: one card, every operation of merlox.h as a method, statuses as
// exceptions, arguments checked before they reach the library, waits as Tasks.
using System;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace MerloxCards
{
    public sealed class Card : IDisposable
    {
        public const int LowestOpenCard = Merlox.LowestOpenCard;
        public const int OnlyOpenCard = Merlox.OnlyOpenCard;
        public const int MaxTimeoutSeconds = 65535;
        public const int MaxResetSeconds = 255;
        public const int MaxSpeakerFrequency = 65279;

        readonly EventPump<ChangeOfState> changes;
        readonly EventPump<WatchdogEventArgs> watchdogEvents;
        bool disposed;

        // The card number (0..31) or selector this Card names.
        public int Number { get; private set; }

        // Whether Dispose stops the watchdog first (the default), so that a program that
        // ends, by an exception included, does not leave the host to be reset when the
        // timeout runs out. A program whose watchdog must outlive it sets it false.
        public bool StopOnDispose { get; set; }

        public uint ProductId { get; private set; }

        // Opens the card: CardNotFoundException when no card answers to the number
        // (a card plugged in since the last discovery is found).
        public Card(int number = OnlyOpenCard)
        {
            if (!(number >= 0 && number <= 31) && number != LowestOpenCard && number != OnlyOpenCard)
            {
                throw new InvalidArgumentException(
                    (uint)MerloxStatus.InvalidIndex,
                    "card number " + number + " is neither 0..31 nor a selector (-2, -3)");
            }
            Number = number;
            StopOnDispose = true;
            uint pid;
            MerloxException.Check(Merlox.QueryCardID(number, out pid));
            ProductId = pid;
            changes = new EventPump<ChangeOfState>("merlox card " + number + " changes",
                                                   ReadChange, AbortChangeWait);
            watchdogEvents = new EventPump<WatchdogEventArgs>(
                "merlox card " + number + " watchdog events", ReadWatchdogEvent,
                AbortEventRequest);
            changes.Arrived += change =>
            {
                EventHandler<ChangeOfState> handler = InputsChanged;
                if (handler != null) handler(this, change);
            };
            watchdogEvents.Arrived += watchdogEvent =>
            {
                EventHandler<WatchdogEventArgs> handler = WatchdogEvent;
                if (handler != null) handler(this, watchdogEvent);
            };
        }

        // Stops the watchdog (StopOnDispose), ends the event pumps and closes the card.
        public void Dispose()
        {
            if (disposed) return;
            disposed = true;
            var closed = new CardNotFoundException((uint)MerloxStatus.FileNotFound,
                                                   "the card was closed");
            try
            {
                if (StopOnDispose && Merlox.WDGInit(Number) == 0) Merlox.WDG_Stop(Number);
                // The readers must not start another wait once the number is free:
                // another card may take it.
                changes.RequestStop();
                watchdogEvents.RequestStop();
                MerloxException.Check(Merlox.MERLOX_CloseCard(Number));
            }
            finally
            {
                changes.Stop(closed);
                watchdogEvents.Stop(closed);
            }
        }

        public override string ToString()
        {
            return "MerloxCards.Card(" + Number + ")";
        }

        static InvalidArgumentException OutOfRange(string what, long value, long low, long high)
        {
            return new InvalidArgumentException(
                (uint)MerloxStatus.InvalidParameter,
                what + " " + value + " is outside " + low + ".." + high);
        }

        static uint InRange(string what, long value, long low, long high)
        {
            if (value < low || value > high) throw OutOfRange(what, value, low, high);
            return unchecked((uint)value);
        }

        static uint Channel(int channel, int count)
        {
            if (channel < 0 || channel >= count)
            {
                throw new InvalidArgumentException(
                    (uint)MerloxStatus.InvalidIndex,
                    "channel " + channel + " is outside 0.." + (count - 1));
            }
            return (uint)channel;
        }

        // The card's whole seconds, rounded half to even as the library rounds.
        static double WholeSeconds(string what, TimeSpan duration, int low, int high)
        {
            double seconds = duration.TotalSeconds;
            double whole = Math.Round(seconds, MidpointRounding.ToEven);
            if (whole < low || whole > high)
            {
                throw new InvalidArgumentException(
                    (uint)MerloxStatus.InvalidParameter,
                    what + " of " + seconds + " s is outside the card's " + low + ".." + high +
                        " whole seconds");
            }
            return seconds * 1000.0;
        }

        // ---- Identity ------------------------------------------------------------------

        public CardInfo Info()
        {
            uint pid, size = 256;
            int baseAddress;
            var name = new StringBuilder((int)size);
            MerloxException.Check(Merlox.QueryCardInfo(Number, out pid, out baseAddress, ref size, name));
            return new CardInfo(pid, baseAddress, name.ToString());
        }

        public string Name()
        {
            return Info().Name;
        }

        // NotSupportedByCardException when the card has no serial number.
        public ulong SerialNumber()
        {
            ulong serial;
            MerloxException.Check(Merlox.QueryCardSerialNumber(Number, out serial));
            return serial;
        }

        // ---- Watchdog ------------------------------------------------------------------

        public bool HasWatchdog()
        {
            uint status = Merlox.WDGInit(Number);
            if (status == (uint)MerloxStatus.BadTokenType) return false;
            MerloxException.Check(status);
            return true;
        }

        // 1..65535 whole seconds, else InvalidArgumentException; returns the timeout as
        // the card will use it.
        public TimeSpan SetTimeout(TimeSpan timeout)
        {
            double milliseconds = WholeSeconds("a watchdog timeout", timeout, 1, MaxTimeoutSeconds);
            MerloxException.Check(Merlox.WDG_SetTimeout(Number, ref milliseconds));
            return TimeSpan.FromMilliseconds(milliseconds);
        }

        // 0..255 whole seconds: how long the card holds the host in reset.
        public TimeSpan SetResetDuration(TimeSpan duration)
        {
            double milliseconds = WholeSeconds("a reset duration", duration, 0, MaxResetSeconds);
            MerloxException.Check(Merlox.WDG_SetResetDuration(Number, ref milliseconds));
            return TimeSpan.FromMilliseconds(milliseconds);
        }

        public void Pet() { MerloxException.Check(Merlox.WDG_Pet(Number)); }
        public void Start() { MerloxException.Check(Merlox.WDG_Start(Number)); }
        public void Stop() { MerloxException.Check(Merlox.WDG_Stop(Number)); }

        public WatchdogStatus ReadStatus()
        {
            int status;
            MerloxException.Check(Merlox.WDG_ReadStatus(Number, out status));
            return (WatchdogStatus)status;
        }

        // Arms the library's background reaction to the next watchdog event.
        public void HandleEvent(Reaction reaction)
        {
            MerloxException.Check(Merlox.WDG_HandleEvent(Number, InRange("reaction", (long)reaction, 0, 5)));
        }

        public double ReadTemperatureF()
        {
            double value;
            MerloxException.Check(Merlox.WDG_ReadTemp(Number, out value));
            return value;
        }

        WatchdogEventArgs ReadWatchdogEvent()
        {
            MerloxException.Check(Merlox.WDG_WaitForEvent(Number));
            return new WatchdogEventArgs(Number);
        }

        // The next watchdog event; an event after a cancellation is kept for the next wait.
        public Task<WatchdogEventArgs> WaitForWatchdogEventAsync(CancellationToken token = default(CancellationToken))
        {
            return watchdogEvents.NextAsync(token);
        }

        // Raised in the card's reader thread for every watchdog event, once anything
        // started the pump (StartEvents or a wait).
        public event EventHandler<WatchdogEventArgs> WatchdogEvent;

        public void AbortEventRequest() { MerloxException.Check(Merlox.WDG_AbortEventRequest(Number)); }

        // ---- Digital inputs ----------------------------------------------------------

        public byte ReadInputs()
        {
            byte value;
            MerloxException.Check(Merlox.DI_ReadAll(Number, out value));
            return value;
        }

        public byte PeekInputs()
        {
            byte value;
            MerloxException.Check(Merlox.DI_PeekAll(Number, out value));
            return value;
        }

        public bool ReadInput(int channel)
        {
            int value;
            MerloxException.Check(Merlox.DI_Read1(Number, Channel(channel, 8), out value));
            return value != 0;
        }

        public bool PeekInput(int channel)
        {
            int value;
            MerloxException.Check(Merlox.DI_Peek1(Number, Channel(channel, 8), out value));
            return value != 0;
        }

        // The inputs that went to 1 (Item1) and to 0 (Item2) since the last read.
        public Tuple<byte, byte> ReadLatched()
        {
            byte rising, falling;
            MerloxException.Check(Merlox.DI_ReadLatched(Number, out rising, out falling));
            return Tuple.Create(rising, falling);
        }

        public void SetDebounceAll(int debounce)
        {
            MerloxException.Check(Merlox.DI_SetDebounceAll(Number, InRange("debounce", debounce, 0, 255)));
        }

        public void SetDebounce(int channel, int debounce)
        {
            MerloxException.Check(Merlox.DI_SetDebounce1(Number, Channel(channel, 8),
                                                         InRange("debounce", debounce, 0, 255)));
        }

        public void SetDebounceSome(int mask, int debounce)
        {
            MerloxException.Check(Merlox.DI_SetDebounceSome(Number, InRange("mask", mask, 0, 255),
                                                            InRange("debounce", debounce, 0, 255)));
        }

        public ushort ReadTimestamp()
        {
            ushort value;
            MerloxException.Check(Merlox.DI_ReadTimestamp(Number, out value));
            return value;
        }

        ChangeOfState ReadChange()
        {
            uint timestamp;
            var data = new byte[ChangeOfState.Length];
            TSensorRecord sensors;
            MerloxException.Check(Merlox.DI_WaitForCOSMulti(Number, out timestamp, data.Length, data, out sensors));
            return new ChangeOfState(timestamp, data, sensors);
        }

        // The next change of the inputs; a change after a cancellation is kept for the
        // next wait. CardRemovedException when the card goes, CardNotFoundException when
        // it is closed.
        public Task<ChangeOfState> WaitForChangeAsync(CancellationToken token = default(CancellationToken))
        {
            return changes.NextAsync(token);
        }

        // Raised in the card's reader thread for every change, once anything started the
        // pump (StartEvents or a wait).
        public event EventHandler<ChangeOfState> InputsChanged;

        // Starts both reader threads, so that InputsChanged and WatchdogEvent are raised
        // without a wait.
        public void StartEvents()
        {
            changes.Start();
            watchdogEvents.Start();
        }

        public void AbortChangeWait() { MerloxException.Check(Merlox.DI_AbortCOSRequest(Number)); }

        // ---- Digital outputs and speaker ---------------------------------------------

        public void WriteOutputs(int value)
        {
            MerloxException.Check(Merlox.DO_WriteAll(Number, InRange("output byte", value, 0, 255)));
        }

        public void WriteOutput(int channel, bool state)
        {
            MerloxException.Check(Merlox.DO_Write1(Number, Channel(channel, 8), state ? 1 : 0));
        }

        public byte ReadOutputs()
        {
            byte value;
            MerloxException.Check(Merlox.DO_ReadbackAll(Number, out value));
            return value;
        }

        // lowByte 0..255, highByte -1..254, in the card's units.
        public void SetPwm(int channel, int lowByte, int highByte)
        {
            InRange("PWM high byte", highByte, -1, 254);
            MerloxException.Check(Merlox.DO_SetPWM(Number, (int)Channel(channel, 8),
                                                   InRange("PWM low byte", lowByte, 0, 255), highByte));
        }

        // 0..65279, the card's unit; 0 silences it.
        public void SetSpeaker(int frequency)
        {
            InRange("frequency", frequency, 0, MaxSpeakerFrequency);
            MerloxException.Check(Merlox.Speaker_SetFreq(Number, frequency));
        }

        // ---- Sensors and analog inputs -------------------------------------------------

        public void EnableAnalog() { MerloxException.Check(Merlox.AI_Enable(Number)); }
        public void DisableAnalog() { MerloxException.Check(Merlox.AI_Disable(Number)); }

        public TSensorRecord ReadSensors()
        {
            TSensorRecord record;
            MerloxException.Check(Merlox.AI_ReadAll(Number, out record));
            return record;
        }

        // 0 temperature, 1 humidity, 2..5 analog inputs 0..3.
        public double ReadSensor(int channel)
        {
            double value;
            MerloxException.Check(Merlox.AI_Read1(Number, Channel(channel, 6), out value));
            return value;
        }

        // ---- Transfers and registers ---------------------------------------------------

        public byte[] VendorRead(uint request, uint value, uint index, int length)
        {
            var data = new byte[InRange("length", length, 0, 0xFFFF)];
            uint count = (uint)length;
            MerloxException.Check(Merlox.MERLOX_GenericVendorRead(Number, request, value, index, ref count, data));
            Array.Resize(ref data, (int)count);
            return data;
        }

        public void VendorWrite(uint request, uint value, uint index, byte[] data)
        {
            MerloxException.Check(Merlox.MERLOX_GenericVendorWrite(Number, request, value, index,
                                                                   (uint)data.Length, data));
        }

        public byte[] BulkIn(int pipe, int length)
        {
            InRange("IN pipe", pipe, 0x80, 0xFF);
            var data = new byte[InRange("length", length, 0, 1 << 24)];
            uint count;
            MerloxException.Check(Merlox.MERLOX_GenericBulkIn(Number, (uint)pipe, data, (uint)length, out count));
            Array.Resize(ref data, (int)count);
            return data;
        }

        public uint BulkOut(int pipe, byte[] data)
        {
            InRange("OUT pipe", pipe, 0, 0x7F);
            uint count;
            MerloxException.Check(Merlox.MERLOX_GenericBulkOut(Number, (uint)pipe, data, (uint)data.Length, out count));
            return count;
        }

        public void ResetChip() { MerloxException.Check(Merlox.MERLOX_ResetChip(Number)); }

        // The card's port-style register offset (0..15); 0xAA55 on failure.
        public ushort ReadRegister(int offset)
        {
            return Merlox.RelInPortB(Number, (int)InRange("offset", offset, 0, 15));
        }

        public ushort WriteRegister(int offset, uint value)
        {
            return Merlox.RelOutPortB(Number, (int)InRange("offset", offset, 0, 15), value);
        }

        // Restarts Windows at once, by force; belongs to no card.
        public static void EmergencyReboot() { MerloxException.Check(Merlox.WDG_EmergencyReboot()); }

        // Runs a discovery: one more than the highest card number in use.
        public static uint Discover() { return Merlox.GetNumCards(); }
    }
}
