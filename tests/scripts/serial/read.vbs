' ReadKey and ReadHodTest from a script: an ASCII-line reader (key 00C0FFEE) on COM14, a 1-Wire
' adapter with the key 89ABCDEF on COM12, a packet reader (DEADBEEF) on COM13, a Hod-Test (number
' 42) on COM15.
Dim o, r
Set o = WScript.CreateObject("TrelClientHelper.ClientHelper")
r = o.ReadKey("COM14")
CheckEqual r, &HC0FFEE, "ReadKey(""COM14"") gives the key's number"
r = o.ReadKey("COM12")
CheckEqual Hex(r), "89ABCDEF", "ReadKey(""COM12""): the 1-Wire key's number"
r = o.ReadKey("COM13")
CheckEqual Hex(r), "DEADBEEF", "ReadKey(""COM13""): the packet reader's key number"
r = o.ReadHodTest("COM15")
CheckEqual r, 42, "ReadHodTest(""COM15"") gives the device's number"
' A progress object the component cannot use (a script object has no IReaderProgress): no
' progress object, the read goes on as without one.
r = o.ReadKey("COM14", Nothing, 0)
CheckEqual r, &HC0FFEE, "ReadKey with Nothing for the progress object"
On Error Resume Next
r = o.ReadHodTest("COM98")
CheckEqual Hex(Err.Number), "80070002", "a port that does not exist: its error"
Check InStr(Err.Description, "CClientHelper::ReadKey()") = 1, "under the ReadKey context: " & Err.Description
Check InStr(Err.Description, "CCOMFile::Open CreateFile()") > 0, "the port's own text"
On Error GoTo 0
Finish
