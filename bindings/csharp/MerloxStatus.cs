// Statuses, their texts and the exceptions they raise, for MerloxCards.Card.
using System;
using System.Collections.Generic;

namespace MerloxCards
{
    // The statuses the library gives; any other nonzero status is a Windows error
    // number passed on from the driver or the system.
    public enum MerloxStatus : uint
    {
        Success = 0,
        FileNotFound = 2,       // no open card under this number, or closed meanwhile
        AccessDenied = 5,
        InvalidHandle = 6,      // closing a free slot
        NotEnoughMemory = 8,
        InvalidAccess = 12,
        InvalidData = 13,       // the card's reply is too short or malformed
        GenFailure = 31,
        NotSupported = 50,
        DupName = 52,           // several cards open and OnlyOpenCard given
        InvalidParameter = 87,
        OperationAborted = 995,
        NoAccess = 998,
        DeviceNotConnected = 1167,
        BadTokenType = 1349,    // the card's product has no watchdog
        InternalError = 1359,
        InvalidIndex = 1413,    // a card number or a channel out of range
        DeviceRemoved = 1617,   // the card has gone; close it to free its number
    }

    public static class StatusText
    {
        // The texts of MERLOX_StatusText in merlox.h, word for word (a test compares
        // them); any other status is "Windows error N".
        static readonly Dictionary<uint, string> Texts = new Dictionary<uint, string>
        {
            { 0, "success" },
            { 2, "no open card with this number" },
            { 5, "access denied by the driver or the system" },
            { 6, "no card with this number to close" },
            { 8, "not enough memory for the request" },
            { 12, "a required pointer is null" },
            { 13, "the card's reply is too short or malformed" },
            { 31, "the request failed without an error number" },
            { 50, "not supported by this library or card" },
            { 52, "several cards are open; give a card number" },
            { 87, "an argument is out of range" },
            { 995, "the wait was aborted" },
            { 998, "a buffer cannot be read or written" },
            { 1167, "the device is not connected" },
            { 1349, "this card has no watchdog" },
            { 1359, "internal error in the library" },
            { 1413, "a card number outside 0..31 that is not a selector, or a channel out of range" },
            { 1617, "the card has gone; close it to free its number" },
        };

        public static string Of(uint status)
        {
            string text;
            return Texts.TryGetValue(status, out text) ? text : "Windows error " + status;
        }
    }

    // An operation failed: Status is the library's status, Text its meaning. Catch a
    // subclass for one kind of failure, or this class for all of them.
    public class MerloxException : Exception
    {
        public uint Status { get; private set; }
        public string Text { get; private set; }

        public MerloxException(uint status) : this(status, StatusText.Of(status)) { }

        public MerloxException(uint status, string text)
            : base(text + " (status " + status + ")")
        {
            Status = status;
            Text = text;
        }

        // The exception of a nonzero status, by its kind.
        public static MerloxException For(uint status)
        {
            switch ((MerloxStatus)status)
            {
                case MerloxStatus.FileNotFound:
                case MerloxStatus.InvalidHandle:
                    return new CardNotFoundException(status);
                case MerloxStatus.DeviceRemoved:
                case MerloxStatus.DeviceNotConnected:
                    return new CardRemovedException(status);
                case MerloxStatus.OperationAborted:
                    return new AbortedException(status);
                case MerloxStatus.InvalidParameter:
                case MerloxStatus.InvalidIndex:
                    return new InvalidArgumentException(status, StatusText.Of(status));
                case MerloxStatus.NotSupported:
                case MerloxStatus.BadTokenType:
                    return new NotSupportedByCardException(status);
                default:
                    return new MerloxException(status);
            }
        }

        internal static void Check(uint status)
        {
            if (status != 0) throw For(status);
        }
    }

    // No open card answers to the number (2, 6), or the card was closed.
    public class CardNotFoundException : MerloxException
    {
        public CardNotFoundException(uint status) : base(status) { }
        public CardNotFoundException(uint status, string text) : base(status, text) { }
    }

    // The card has gone (1617, 1167): dispose of the Card, open it again once back.
    public class CardRemovedException : MerloxException
    {
        public CardRemovedException(uint status) : base(status) { }
    }

    // A wait was aborted (995).
    public class AbortedException : MerloxException
    {
        public AbortedException(uint status) : base(status) { }
    }

    // An argument out of range (87, 1413): refused by Card before the library is
    // called, or by the library.
    public class InvalidArgumentException : MerloxException
    {
        public InvalidArgumentException(uint status, string text) : base(status, text) { }
    }

    // The library or the card does not provide this (50, 1349).
    public class NotSupportedByCardException : MerloxException
    {
        public NotSupportedByCardException(uint status) : base(status) { }
    }
}
