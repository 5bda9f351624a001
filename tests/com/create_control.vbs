' Creates the control by ProgID and reads a property: what a script host of
' either bitness needs the registration for. Prints "done" on success.
Dim comm
Set comm = CreateObject("QELCOMM.QelCommCtrl.1")
If comm.Baud = 19200 Then WScript.Echo "done"
