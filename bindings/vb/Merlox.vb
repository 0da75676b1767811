' VB.NET declarations of MERLOX.dll through its VB entry points: each "VB" export
' forwards to the operation of the same name in include/merlox.h, with the same
' arguments and result. Every function returns a status: 0 for success, otherwise
' a Windows error number (2 free slot, 6 close of a free slot, 13 short reply,
' 50 not supported, 52 several cards open, 87 argument out of range, 995 wait
' aborted, 998 unusable buffer, 1349 no watchdog, 1359 internal failure,
' 1413 bad card number, 1617 the card has gone).
'
' Integer is 32 bits, Long 64; statuses below 2^31 read the same as Integer.
Imports System.Runtime.InteropServices
Imports System.Text

<StructLayout(LayoutKind.Sequential)>
Public Structure TSensorRecord
    Public Temperature As Double ' degrees Celsius
    Public Humidity As Double    ' relative humidity, percent
    <MarshalAs(UnmanagedType.ByValArray, SizeConst:=4)>
    Public Analog() As Double    ' analog inputs 0..3
End Structure

Public Module Merlox
    Public Const LowestOpenCard As Integer = -2
    Public Const OnlyOpenCard As Integer = -3

    ' Cards and transfers
    Declare Function GetNumCards Lib "MERLOX.dll" Alias "VBGetNumCards" () As Integer
    Declare Function MERLOX_CloseCard Lib "MERLOX.dll" Alias "VBMERLOX_CloseCard" (ByVal CardNum As Integer) As Integer
    Declare Function MERLOX_CloseAll Lib "MERLOX.dll" Alias "VBMERLOX_CloseAll" () As Integer
    ' Length: bytes wanted on entry, received on return.
    Declare Function MERLOX_GenericVendorRead Lib "MERLOX.dll" Alias "VBMERLOX_GenericVendorRead" (ByVal CardNum As Integer, ByVal Request As Integer, ByVal Value As Integer, ByVal Index As Integer, ByRef Length As Integer, <Out()> ByVal Data() As Byte) As Integer
    Declare Function MERLOX_GenericVendorWrite Lib "MERLOX.dll" Alias "VBMERLOX_GenericVendorWrite" (ByVal CardNum As Integer, ByVal Request As Integer, ByVal Value As Integer, ByVal Index As Integer, ByVal Length As Integer, <[In]()> ByVal Data() As Byte) As Integer
    Declare Function MERLOX_ResetChip Lib "MERLOX.dll" Alias "VBMERLOX_ResetChip" (ByVal CardNum As Integer) As Integer
    Declare Function MERLOX_GenericBulkIn Lib "MERLOX.dll" Alias "VBMERLOX_GenericBulkIn" (ByVal CardNum As Integer, ByVal Pipe As Integer, <Out()> ByVal Buffer() As Byte, ByVal Length As Integer, ByRef BytesTransferred As Integer) As Integer
    Declare Function MERLOX_GenericBulkOut Lib "MERLOX.dll" Alias "VBMERLOX_GenericBulkOut" (ByVal CardNum As Integer, ByVal Pipe As Integer, <[In]()> ByVal Buffer() As Byte, ByVal Length As Integer, ByRef BytesTransferred As Integer) As Integer

    ' Watchdog. pTimeout and pDuration: milliseconds in, the value the card will use out.
    Declare Function WDGInit Lib "MERLOX.dll" Alias "VBWDGInit" (ByVal CardNum As Integer) As Integer
    Declare Function WDG_SetTimeout Lib "MERLOX.dll" Alias "VBWDG_SetTimeout" (ByVal CardNum As Integer, ByRef pTimeout As Double) As Integer
    Declare Function WDG_SetResetDuration Lib "MERLOX.dll" Alias "VBWDG_SetResetDuration" (ByVal CardNum As Integer, ByRef pDuration As Double) As Integer
    Declare Function WDG_Pet Lib "MERLOX.dll" Alias "VBWDG_Pet" (ByVal CardNum As Integer) As Integer
    Declare Function WDG_Start Lib "MERLOX.dll" Alias "VBWDG_Start" (ByVal CardNum As Integer) As Integer
    Declare Function WDG_Stop Lib "MERLOX.dll" Alias "VBWDG_Stop" (ByVal CardNum As Integer) As Integer
    Declare Function WDG_ReadStatus Lib "MERLOX.dll" Alias "VBWDG_ReadStatus" (ByVal CardNum As Integer, ByRef pStatus As Integer) As Integer
    Declare Function WDG_WaitForEvent Lib "MERLOX.dll" Alias "VBWDG_WaitForEvent" (ByVal CardNum As Integer) As Integer
    Declare Function WDG_AbortEventRequest Lib "MERLOX.dll" Alias "VBWDG_AbortEventRequest" (ByVal CardNum As Integer) As Integer
    Declare Function WDG_HandleEvent Lib "MERLOX.dll" Alias "VBWDG_HandleEvent" (ByVal CardNum As Integer, ByVal Action As Integer) As Integer
    Declare Function WDG_EmergencyReboot Lib "MERLOX.dll" Alias "VBWDG_EmergencyReboot" () As Integer
    Declare Function WDG_ReadTemp Lib "MERLOX.dll" Alias "VBWDG_ReadTemp" (ByVal CardNum As Integer, ByRef pTemperature As Double) As Integer

    ' Digital outputs
    Declare Function DO_WriteAll Lib "MERLOX.dll" Alias "VBDO_WriteAll" (ByVal CardNum As Integer, ByVal Value As Integer) As Integer
    Declare Function DO_Write1 Lib "MERLOX.dll" Alias "VBDO_Write1" (ByVal CardNum As Integer, ByVal Channel As Integer, ByVal State As Integer) As Integer
    Declare Function DO_ReadbackAll Lib "MERLOX.dll" Alias "VBDO_ReadbackAll" (ByVal CardNum As Integer, ByRef pData As Byte) As Integer
    Declare Function DO_SetPWM Lib "MERLOX.dll" Alias "VBDO_SetPWM" (ByVal CardNum As Integer, ByVal Channel As Integer, ByVal LowByte As Integer, ByVal HighByte As Integer) As Integer

    ' Identity. pNameSize: the capacity of pName on entry (give the StringBuilder at
    ' least that Capacity), the name's full length on return.
    Declare Ansi Function QueryCardInfo Lib "MERLOX.dll" Alias "VBQueryCardInfo" (ByVal CardNum As Integer, ByRef pPID As Integer, ByRef pBase As Integer, ByRef pNameSize As Integer, ByVal pName As StringBuilder) As Integer
    Declare Function QueryCardID Lib "MERLOX.dll" Alias "VBQueryCardID" (ByVal CardNum As Integer, ByRef pPID As Integer) As Integer
    Declare Ansi Function QueryCardName Lib "MERLOX.dll" Alias "VBQueryCardName" (ByVal CardNum As Integer, ByRef pNameSize As Integer, ByVal pName As StringBuilder) As Integer
    Declare Function QueryCardSerialNumber Lib "MERLOX.dll" Alias "VBQueryCardSerialNumber" (ByVal CardNum As Integer, ByRef pSerialNumber As ULong) As Integer
    ' The lowest card number with this serial number, or -1.
    Declare Function GetCardBySerialNumber Lib "MERLOX.dll" Alias "VBGetCardBySerialNumber" (ByVal SerialNumber As ULong) As Integer
    ' Not provided by the library: -1, and status 50.
    Declare Function GetCardByEEPROMByte Lib "MERLOX.dll" Alias "VBGetCardByEEPROMByte" () As Integer
    Declare Function GetCardByEEPROMData Lib "MERLOX.dll" Alias "VBGetCardByEEPROMData" () As Integer
    Declare Function CustomEEPROMRead Lib "MERLOX.dll" Alias "VBCustomEEPROMRead" () As Integer
    Declare Function CustomEEPROMWrite Lib "MERLOX.dll" Alias "VBCustomEEPROMWrite" () As Integer

    ' Digital inputs. DI_Read1 and DI_Peek1 give -1 (True) for an input at 1.
    Declare Function DI_ReadAll Lib "MERLOX.dll" Alias "VBDI_ReadAll" (ByVal CardNum As Integer, ByRef pData As Byte) As Integer
    Declare Function DI_PeekAll Lib "MERLOX.dll" Alias "VBDI_PeekAll" (ByVal CardNum As Integer, ByRef pData As Byte) As Integer
    Declare Function DI_Read1 Lib "MERLOX.dll" Alias "VBDI_Read1" (ByVal CardNum As Integer, ByVal Channel As Integer, ByRef pValue As Integer) As Integer
    Declare Function DI_Peek1 Lib "MERLOX.dll" Alias "VBDI_Peek1" (ByVal CardNum As Integer, ByVal Channel As Integer, ByRef pValue As Integer) As Integer
    Declare Function DI_ReadLatched Lib "MERLOX.dll" Alias "VBDI_ReadLatched" (ByVal CardNum As Integer, ByRef pLatchA As Byte, ByRef pLatchB As Byte) As Integer
    Declare Function DI_SetDebounceAll Lib "MERLOX.dll" Alias "VBDI_SetDebounceAll" (ByVal CardNum As Integer, ByVal Debounce As Integer) As Integer
    Declare Function DI_SetDebounce1 Lib "MERLOX.dll" Alias "VBDI_SetDebounce1" (ByVal CardNum As Integer, ByVal Channel As Integer, ByVal Debounce As Integer) As Integer
    Declare Function DI_SetDebounceSome Lib "MERLOX.dll" Alias "VBDI_SetDebounceSome" (ByVal CardNum As Integer, ByVal Mask As Integer, ByVal Debounce As Integer) As Integer

    ' Change of state. The waits block until the card's inputs change (995 when
    ' aborted with DI_AbortCOSRequest). pData of DI_WaitForCOSMulti: Length bytes.
    Declare Function DI_WaitForCOS Lib "MERLOX.dll" Alias "VBDI_WaitForCOS" (ByVal CardNum As Integer, ByRef pData As Byte) As Integer
    Declare Function DI_WaitForCOSMulti Lib "MERLOX.dll" Alias "VBDI_WaitForCOSMulti" (ByVal CardNum As Integer, ByRef pTimestamp As Integer, ByVal Length As Integer, <Out()> ByVal pData() As Byte, ByRef pValues As TSensorRecord) As Integer
    Declare Function DI_AbortCOSRequest Lib "MERLOX.dll" Alias "VBDI_AbortCOSRequest" (ByVal CardNum As Integer) As Integer
    Declare Function DI_ReadTimestamp Lib "MERLOX.dll" Alias "VBDI_ReadTimestamp" (ByVal CardNum As Integer, ByRef pTimestamp As UShort) As Integer

    ' Analog inputs, sensors and speaker
    Declare Function AI_Enable Lib "MERLOX.dll" Alias "VBAI_Enable" (ByVal CardNum As Integer) As Integer
    Declare Function AI_Disable Lib "MERLOX.dll" Alias "VBAI_Disable" (ByVal CardNum As Integer) As Integer
    Declare Function AI_ReadAll Lib "MERLOX.dll" Alias "VBAI_ReadAll" (ByVal CardNum As Integer, ByRef pValues As TSensorRecord) As Integer
    Declare Function AI_Read1 Lib "MERLOX.dll" Alias "VBAI_Read1" (ByVal CardNum As Integer, ByVal Channel As Integer, ByRef pValue As Double) As Integer
    Declare Function Speaker_SetFreq Lib "MERLOX.dll" Alias "VBSpeaker_SetFreq" (ByVal CardNum As Integer, ByVal Frequency As Integer) As Integer

    ' Port-style registers: 16-bit results, &HAA55 on failure.
    Declare Function InPortB Lib "MERLOX.dll" Alias "VBInPortB" (ByVal Address As Integer) As UShort
    Declare Function OutPortB Lib "MERLOX.dll" Alias "VBOutPortB" (ByVal Address As Integer, ByVal Value As Integer) As UShort
    Declare Function RelInPortB Lib "MERLOX.dll" Alias "VBRelInPortB" (ByVal CardNum As Integer, ByVal Offset As Integer) As UShort
    Declare Function RelOutPortB Lib "MERLOX.dll" Alias "VBRelOutPortB" (ByVal CardNum As Integer, ByVal Offset As Integer, ByVal Value As Integer) As UShort
End Module
