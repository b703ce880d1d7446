' ReadHodTest from a script with a Hod-Test (number 42) on COM15.
Dim o, r
Set o = CreateObject("TrelClientHelper.ClientHelper")
r = o.ReadHodTest("COM15")
CheckEqual r, 42, "ReadHodTest(""COM15"") gives the device's number"
On Error Resume Next
r = o.ReadHodTest("COM98")
CheckEqual Hex(Err.Number), "80070002", "a port that does not exist: its error"
Check InStr(Err.Description, "CClientHelper::ReadKey()") = 1, "under the ReadKey context: " & Err.Description
Check InStr(Err.Description, "CCOMFile::Open CreateFile()") > 0, "the port's own text"
On Error GoTo 0
Finish
