' Creates the installed control by its ProgID and calls a method, as a
' user's script would. The last line is "done" when everything held.
Set comm = CreateObject("QELCOMM.QelCommCtrl.1")
If comm.GetParamNumFromName(1, "P_SOLL") <> 3 Then
  WScript.Echo "GetParamNumFromName gave the wrong number"
  WScript.Quit 1
End If
If comm.Baud <> 19200 Then
  WScript.Echo "Baud is not 19200"
  WScript.Quit 1
End If
WScript.Echo "done"
