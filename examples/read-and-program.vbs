' Reads a motor register and programs the Vemo module fitted to the motor.
'
'   cscript //nologo read-and-program.vbs COMPORT HEXFILE [ADDRESS]
'
' QELCOMM.OCX must be registered first:  regsvr32 QELCOMM.OCX
' (a 32-bit host needs the 32-bit module, a 64-bit host the 64-bit one).
Option Explicit

Dim args, comm, address, value, moduleType, firmware
Set args = WScript.Arguments
If args.Count < 2 Then
  WScript.Echo "usage: cscript read-and-program.vbs COMPORT HEXFILE [ADDRESS]"
  WScript.Quit 2
End If
address = 1
If args.Count > 2 Then address = CInt(args(2))

Set comm = CreateObject("QELCOMM.QelCommCtrl.1")
comm.ComPort = CInt(args(0))
comm.Baud = 19200
comm.Retries = 3
If Not comm.OpenPort() Then Fail "cannot open COM" & args(0)

' Registers by name: the catalogue gives the number.
If Not comm.ReadParameter(address, comm.GetParamNumFromName(address, "PROG_VERSION"), value) Then
  Fail "reading PROG_VERSION"
End If
WScript.Echo "motor " & address & " firmware " & value

If Not comm.GetModuleType(address, moduleType, firmware) Then Fail "no module on motor " & address
WScript.Echo "module type " & moduleType & ", firmware " & firmware

' Stops the module, sends the four pages of the image and commits them;
' returns once the module answers again.
If Not comm.VemoProgram(address, args(1)) Then Fail "programming the module"
WScript.Echo "module programmed from " & args(1)
comm.ClosePort
WScript.Echo "done"

Sub Fail(what)
  WScript.Echo "failed: " & what & ": " & comm.GetLastErrorStr(comm.GetLastError())
  WScript.Quit 1
End Sub
