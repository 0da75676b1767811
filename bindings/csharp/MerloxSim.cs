// C# declarations of the simulated cards for an application's own tests
// (include/merloxsim.h). Every function returns a status: 0 for success, otherwise
// one of MerloxSim.Status*, except where merloxsim.h says otherwise.
//
// On Windows the simulator is MERLOXSIM.dll, beside MERLOX.dll; call
// MERLOXSIM_Attach(IntPtr.Zero) once MERLOX.dll is loaded. On the host build it
// lives in libmerlox.so itself: compile with -define:MERLOXSIM_HOST.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace MerloxCards
{
    [StructLayout(LayoutKind.Sequential)]
    public struct MERLOXSIM_WatchdogState
    {
        public uint Running;
        public uint EventsEnabled;
        public uint TimeoutSeconds;
        public uint Pets;
        public uint HostResets;
        public uint Events;
        public uint ResetPending;
        public ulong MillisecondsLeft;
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct MERLOXSIM_Request
    {
        public int Card;
        public uint IoControlCode;
        public uint Error;
        public byte RequestType;
        public byte Request;
        public ushort Value;
        public ushort Index;
        public ushort Length;
        public uint DataLength;
        public uint BytesReturned;
        public uint Pipe;
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct MERLOXSIM_CardState
    {
        public uint Plugged;
        public uint OpenHandles;
        public uint ControllerHeld;
        public uint ControllerRestarts;
        public uint Inputs;
        public uint LatchedRising;
        public uint LatchedFalling;
        public uint Timestamp;
        public uint AnalogOn;
        public uint SpeakerFrequency;
        public uint Outputs;
        public uint PwmSet;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 8)] public byte[] PwmLow;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 8)] public byte[] PwmHigh;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 8)] public byte[] Debounce;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 14)] public byte[] Configuration;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 2)] public byte[] Reserved;
        public uint BulkOutCount;
    }

    public static class MerloxSim
    {
#if MERLOXSIM_HOST
        public const string Library = "merlox";
#else
        public const string Library = "MERLOXSIM";
#endif
        private const CallingConvention Convention = CallingConvention.StdCall;

        public const uint StatusSuccess = 0;
        public const uint StatusNotRunning = 1;
        public const uint StatusNoSimulator = 2;
        public const uint StatusInvalidParameter = 87;
        public const uint StatusInsufficientBuffer = 122;
        public const uint StatusModNotFound = 126;
        public const uint StatusProcNotFound = 127;
        public const uint StatusBusy = 170;
        public const uint StatusInvalidIndex = 1413;
        public const uint StatusTimeout = 1460;

        public const int AnyCard = -1;
        public const int AnyRequest = -1;
        public const uint ControlTransfer = 0x220020;
        public const uint BulkTransfer = 0x22004B;
        public const uint AbortPipe = 0x220044;

        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_Attach(IntPtr Module);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_Detach();
        [DllImport(Library, CallingConvention = Convention, CharSet = CharSet.Ansi, BestFitMapping = false, ThrowOnUnmappableChar = true)] public static extern uint MERLOXSIM_UseSharedSimulator(string Name);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_UseInProcessSimulator();
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_Reset();
        [DllImport(Library, CallingConvention = Convention)] public static extern int MERLOXSIM_Plug(uint ProductId);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_Unplug(int Card);
        [DllImport(Library, CallingConvention = Convention)] public static extern int MERLOXSIM_Replug(int Card);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_SetSerialNumber(int Card, ulong SerialNumber);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_SetName(int Card, [In] ushort[] Name, uint Length);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_SetInputs(int Card, uint Inputs);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_SetSensorCounts(int Card, [In] ushort[] Counts);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_GetOutputs(int Card, out byte Outputs);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_SetLatches(int Card, uint Rising, uint Falling);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_SetTimestamp(int Card, uint Timestamp);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_SendPacket(int Card, uint Pipe, [In] byte[] Data, uint Length);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_GetCardState(int Card, out MERLOXSIM_CardState State);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_GetBulkOut(int Card, uint Index, out uint Pipe, out uint Length, [Out] byte[] Data, ref uint DataCapacity);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_GetWatchdog(int Card, out MERLOXSIM_WatchdogState State);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_AdvanceClock(ulong Milliseconds);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_ExpireWatchdog(int Card);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_FailRequest(int Card, uint IoControlCode, int Request, uint Skip, uint LastError);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_VanishAtRequest(int Card, uint IoControlCode, int Request, uint Skip);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_ReplyToRequest(int Card, uint IoControlCode, int Request, uint Skip, [In] byte[] Data, uint Length, long BytesReturned);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_PendingFaults();
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_SetVanishedError(uint LastError);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_RefuseOpens(uint Count, uint LastError);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_SetRequestDelay(uint Microseconds);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_SetAbortCompletion(uint LastError);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_PendingReads(int Card);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_WaitForPendingReads(int Card, uint Count, uint TimeoutMilliseconds);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_SetRequestLog(uint On);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_SetRequestLogCapacity(uint Entries);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_RequestCount();
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_GetRequest(uint Index, out MERLOXSIM_Request Record, [Out] byte[] Data, ref uint DataCapacity);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_ClearRequests();
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_ViolationCount();
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_GetViolation(uint Index, StringBuilder Text, ref uint Capacity);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_ShutdownCount();
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_GetShutdown(uint Index, out uint Flags, out uint Reason);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_WaitForShutdowns(uint Count, uint TimeoutMilliseconds);
        [DllImport(Library, CallingConvention = Convention)] public static extern uint MERLOXSIM_FailNextShutdown(uint LastError);
    }
}
