// C# declarations of MERLOX (include/merlox.h). Every operation returns a status:
// 0 for success, otherwise a Windows error number (see Merlox.Status*).
//
// "merlox" is MERLOX.dll on Windows (names are matched without regard to case) and
// the host build's libmerlox.so elsewhere. The header's __stdcall is stated for
// 32-bit readers; 64-bit Windows has one calling convention and ignores it.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace MerloxCards
{
    // The six measurements of a card; the layout of TSensorRecord in merlox.h.
    [StructLayout(LayoutKind.Sequential)]
    public struct TSensorRecord
    {
        public double Temperature; // degrees Celsius
        public double Humidity;    // relative humidity, percent
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 4)]
        public double[] Analog;    // analog inputs 0..3
    }

    public static class Merlox
    {
        public const string Library = "merlox";
        private const CallingConvention Convention = CallingConvention.StdCall;

        public const int LowestOpenCard = -2;
        public const int OnlyOpenCard = -3;

        public const uint StatusSuccess = 0;
        public const uint StatusFileNotFound = 2;
        public const uint StatusInvalidHandle = 6;
        public const uint StatusNotEnoughMemory = 8;
        public const uint StatusInvalidAccess = 12;
        public const uint StatusInvalidData = 13;
        public const uint StatusGenFailure = 31;
        public const uint StatusNotSupported = 50;
        public const uint StatusDupName = 52;
        public const uint StatusInvalidParameter = 87;
        public const uint StatusOperationAborted = 995;
        public const uint StatusNoAccess = 998;
        public const uint StatusBadTokenType = 1349;
        public const uint StatusInternalError = 1359;
        public const uint StatusInvalidIndex = 1413;
        public const uint StatusDeviceRemoved = 1617;

        // Cards and transfers
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint GetNumCards();
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint MERLOX_CloseCard(int CardNum);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint MERLOX_CloseAll();
        // Length: bytes wanted on entry, received on return.
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint MERLOX_GenericVendorRead(int CardNum, uint Request, uint Value,
                                                           uint Index, ref uint Length,
                                                           [Out] byte[] Data);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint MERLOX_GenericVendorWrite(int CardNum, uint Request, uint Value,
                                                            uint Index, uint Length,
                                                            [In] byte[] Data);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint MERLOX_ResetChip(int CardNum);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint MERLOX_GenericBulkIn(int CardNum, uint Pipe, [Out] byte[] Buffer,
                                                       uint Length, out uint BytesTransferred);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint MERLOX_GenericBulkOut(int CardNum, uint Pipe, [In] byte[] Buffer,
                                                        uint Length, out uint BytesTransferred);

        // Watchdog
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint WDGInit(int CardNum);
        // pTimeout, pDuration: milliseconds in, the value the card will use out.
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint WDG_SetTimeout(int CardNum, ref double pTimeout);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint WDG_SetResetDuration(int CardNum, ref double pDuration);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint WDG_Pet(int CardNum);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint WDG_Start(int CardNum);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint WDG_Stop(int CardNum);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint WDG_ReadStatus(int CardNum, out int pStatus);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint WDG_WaitForEvent(int CardNum);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint WDG_AbortEventRequest(int CardNum);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint WDG_HandleEvent(int CardNum, uint Action);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint WDG_EmergencyReboot();
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint WDG_ReadTemp(int CardNum, out double pTemperature);

        // Digital outputs
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint DO_WriteAll(int CardNum, uint Value);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint DO_Write1(int CardNum, uint Channel, int State);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint DO_ReadbackAll(int CardNum, out byte pData);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint DO_SetPWM(int CardNum, int Channel, uint LowByte, int HighByte);

        // Identity. pNameSize: the capacity of pName in characters on entry (give
        // pName a Capacity of at least that), the name's full length on return.
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi)]
        public static extern uint QueryCardInfo(int CardNum, out uint pPID, out int pBase,
                                                ref uint pNameSize, StringBuilder pName);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint QueryCardID(int CardNum, out uint pPID);
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi)]
        public static extern uint QueryCardName(int CardNum, ref uint pNameSize,
                                                StringBuilder pName);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint QueryCardSerialNumber(int CardNum, out ulong pSerialNumber);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern int GetCardBySerialNumber(ulong SerialNumber);
        // Not provided by the library: -1 (last error 50), and status 50.
        [DllImport(Library, CallingConvention = Convention, SetLastError = true)]
        public static extern int GetCardByEEPROMByte();
        [DllImport(Library, CallingConvention = Convention, SetLastError = true)]
        public static extern int GetCardByEEPROMData();
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint CustomEEPROMRead();
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint CustomEEPROMWrite();

        // Digital inputs
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint DI_ReadAll(int CardNum, out byte pData);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint DI_PeekAll(int CardNum, out byte pData);
        // pValue: -1 when the input is 1, else 0.
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint DI_Read1(int CardNum, uint Channel, out int pValue);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint DI_Peek1(int CardNum, uint Channel, out int pValue);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint DI_ReadLatched(int CardNum, out byte pLatchA, out byte pLatchB);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint DI_SetDebounceAll(int CardNum, uint Debounce);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint DI_SetDebounce1(int CardNum, uint Channel, uint Debounce);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint DI_SetDebounceSome(int CardNum, uint Mask, uint Debounce);

        // Change of state. The waits block until the card's inputs change (995 when
        // aborted with DI_AbortCOSRequest). pData of DI_WaitForCOSMulti: Length bytes.
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint DI_WaitForCOS(int CardNum, out byte pData);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint DI_WaitForCOSMulti(int CardNum, out uint pTimestamp, int Length,
                                                     [Out] byte[] pData,
                                                     out TSensorRecord pValues);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint DI_AbortCOSRequest(int CardNum);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint DI_ReadTimestamp(int CardNum, out ushort pTimestamp);

        // Analog inputs, sensors and speaker
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint AI_Enable(int CardNum);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint AI_Disable(int CardNum);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint AI_ReadAll(int CardNum, out TSensorRecord pValues);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint AI_Read1(int CardNum, uint Channel, out double pValue);
        [DllImport(Library, CallingConvention = Convention)]
        public static extern uint Speaker_SetFreq(int CardNum, int Frequency);

        // Port-style registers: 0xAA55 on failure, the status in the last error.
        [DllImport(Library, CallingConvention = Convention, SetLastError = true)]
        public static extern ushort InPortB(uint Address);
        [DllImport(Library, CallingConvention = Convention, SetLastError = true)]
        public static extern ushort OutPortB(uint Address, uint Value);
        [DllImport(Library, CallingConvention = Convention, SetLastError = true)]
        public static extern ushort RelInPortB(int CardNum, int Offset);
        [DllImport(Library, CallingConvention = Convention, SetLastError = true)]
        public static extern ushort RelOutPortB(int CardNum, int Offset, uint Value);
    }
}
