// The records and flags MerloxCards.Card hands out.
using System;

namespace MerloxCards
{
    // The watchdog status byte, decoded.
    [Flags]
    public enum WatchdogStatus
    {
        None = 0,
        Running = 1,
        EventsEnabled = 2,
        HasResetHost = 4,
    }

    // What the library's background thread does at a watchdog event (Card.HandleEvent):
    // Stop, optionally with one of the exits. An exit with the watchdog still running
    // first sets a 90 s timeout, so that the host is reset if Windows hangs on the way.
    [Flags]
    public enum Reaction : uint
    {
        Ignore = 0,
        Stop = 1,       // stop the watchdog (and make an exit a restart)
        Exit = 2,       // ask Windows to exit
        ForceExit = 4,  // make Windows exit by force
    }

    // A card's product id, base port address (card number x 16) and name.
    public sealed class CardInfo
    {
        public uint ProductId { get; private set; }
        public int Base { get; private set; }
        public string Name { get; private set; }

        public CardInfo(uint productId, int baseAddress, string name)
        {
            ProductId = productId;
            Base = baseAddress;
            Name = name;
        }

        public override string ToString()
        {
            return string.Format("product 0x{0:X4}, base {1}, \"{2}\"", ProductId, Base, Name);
        }
    }

    // One change-of-state packet: the card's timestamp, the bytes the library hands out
    // and the sensor values the packet carries.
    public sealed class ChangeOfState : EventArgs
    {
        public const int Length = 7;  // every byte the library hands out of a packet

        public uint Timestamp { get; private set; }
        public byte[] Data { get; private set; }
        public TSensorRecord Sensors { get; private set; }

        public ChangeOfState(uint timestamp, byte[] data, TSensorRecord sensors)
        {
            Timestamp = timestamp;
            Data = data;
            Sensors = sensors;
        }

        public byte Inputs { get { return Data[0]; } }         // after the change
        public byte Outputs { get { return Data[1]; } }
        public byte PacketCount { get { return Data[2]; } }
        public byte WentHigh { get { return Data[3]; } }       // inputs gone to 1
        public byte LatchedRising { get { return Data[4]; } }
        public byte LatchedFalling { get { return Data[5]; } }
        public byte Changed { get { return Data[6]; } }

        public override string ToString()
        {
            return string.Format("inputs 0x{0:X2}, changed 0x{1:X2}, timestamp {2}", Inputs,
                                 Changed, Timestamp);
        }
    }

    // A watchdog event the card sent: the watchdog ran out.
    public sealed class WatchdogEventArgs : EventArgs
    {
        public int Card { get; private set; }

        public WatchdogEventArgs(int card)
        {
            Card = card;
        }
    }
}
