Attribute VB_Name = "ReadAndProgram"
' Excel (VBA) module: reads a motor register into the sheet and programs the
' Vemo module fitted to the motor from an Intel HEX file.
'
' Register QELCOMM.OCX first (regsvr32 QELCOMM.OCX; 32-bit Office needs the
' 32-bit module). Import this file with File > Import File in the VBA
' editor, then run ReadAndProgram. Late binding: no reference is needed;
' with Tools > References > "QelComm ActiveX Control module" the object can
' be declared as QELCOMMLib.QelComm instead.
Option Explicit

Public Sub ReadAndProgram()
    Dim comm As Object
    Dim position As Long, moduleType As Integer, firmware As Integer
    Dim hexFile As Variant

    Set comm = CreateObject("QELCOMM.QelCommCtrl.1")
    comm.ComPort = 1
    comm.Baud = 19200
    If Not comm.OpenPort() Then GoTo Failed

    If Not comm.ReadParameter(1, comm.GetParamNumFromName(1, "P_IST"), position) Then GoTo Failed
    ActiveSheet.Range("A1").Value = "P_IST of motor 1"
    ActiveSheet.Range("B1").Value = position

    If Not comm.GetModuleType(1, moduleType, firmware) Then GoTo Failed
    ActiveSheet.Range("A2").Value = "Module type / firmware"
    ActiveSheet.Range("B2").Value = moduleType & " / " & firmware

    hexFile = Application.GetOpenFilename("Intel HEX (*.hex), *.hex")
    If hexFile <> False Then
        If Not comm.VemoProgram(1, CStr(hexFile)) Then GoTo Failed
        MsgBox "Module programmed from " & hexFile
    End If
    comm.ClosePort
    Exit Sub

Failed:
    MsgBox "QelComm: " & comm.GetLastErrorStr(comm.GetLastError()), vbExclamation
    comm.ClosePort
End Sub
