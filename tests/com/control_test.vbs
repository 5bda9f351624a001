' The control as a script host sees it: created by ProgID, called through
' late binding with script variables as by-reference arguments. Run against
' qelsim's default bus (standard motor 1, big motor 2, a module of type 3,
' firmware 17, on motor 1):
'   cscript //nologo control_test.vbs COMPORT HEXFILE
' cscript exits 0 even after a runtime error, so success is the last line
' "all passed".
Option Explicit

Dim failures, comm, value, status, position, errCount, moduleType, firmware, noop, num
failures = 0

Sub Check(ok, what)
  If Not ok Then
    WScript.Echo "FAILED: " & what
    failures = failures + 1
  End If
End Sub

Set comm = CreateObject("QELCOMM.QelCommCtrl.1")
Check comm.ComPort = 0 And comm.Retries = 5 And comm.GrpSends = 3 And comm.Baud = 19200, _
      "defaults"
comm.ComPort = CInt(WScript.Arguments(0))
comm.Retries = 2
Check comm.ComPort = CInt(WScript.Arguments(0)) And comm.Retries = 2, "properties stored"

Check CInt(comm.OpenPort()) = -1, "OpenPort delivers -1"

num = comm.GetParamNumFromName(1, "P_SOLL")
Check num = 3, "P_SOLL is register 3, got " & num
Check comm.WriteParameter(1, num, -123456), "WriteParameter P_SOLL"
value = "old"
Check comm.ReadParameter(1, num, value), "ReadParameter P_SOLL"
Check VarType(value) = vbLong And value = -123456, "P_SOLL read back, got " & value

Check comm.ReadStatus(1, status, position, errCount), "ReadStatus"
Check VarType(status) = vbInteger And VarType(position) = vbLong, "ReadStatus out types"

Check comm.GetModuleType(1, moduleType, firmware), "GetModuleType"
Check moduleType = 3 And firmware = 17, "module type " & moduleType & ", firmware " & firmware
Check CInt(comm.QupNOOP(1, noop)) = -1, "QupNOOP delivers -1"
Check VarType(comm.QupNOOP(1, noop)) = vbBoolean, "QupNOOP delivers a Boolean"
Check noop = &H1234, "QupNOOP value " & noop
Check comm.VemoProgram(1, WScript.Arguments(1)), "VemoProgram"

' A motor that is not on the bus: false (0), then the reason.
comm.Retries = 1
Check CInt(comm.ReadParameter(9, 2, value)) = 0, "silent motor gives 0"
Check comm.GetLastError() = &H20000003, "silent motor's code"
Check comm.GetLastErrorStr(&H20000003) = "Answer is not of expected length", "message text"
comm.ClosePort
Check Not comm.ReadParameter(1, 2, value), "closed port"

If failures = 0 Then
  WScript.Echo "all passed"
Else
  WScript.Echo failures & " failed"
End If
