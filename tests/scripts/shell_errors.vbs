' The object by both ProgIDs, optional arguments left out, failures as a script sees them.
Dim o, o1, r, nl
nl = Chr(13) & Chr(10)
Set o = WScript.CreateObject("TrelClientHelper.ClientHelper")
Set o1 = WScript.CreateObject("TrelClientHelper.ClientHelper.1")
Check IsObject(o) And IsObject(o1), "created by both ProgIDs"
CheckEqual TypeName(o), "IClientHelper", "type name from the type library"

On Error Resume Next
r = o.ResizePicture("", 640, 480)
CheckEqual Err.Number, 0, "ResizePicture with an empty name succeeds"
CheckEqual Len(r), 0, "and returns no name"
Err.Clear

r = o.SelectPicturePart(0, "")
CheckEqual Err.Number, 0, "SelectPicturePart with optional arguments left out and an empty name"
Err.Clear

r = o.OpenPictureWith(0, "", "")
CheckEqual Err.Number, 0, "OpenPictureWith with an empty name"
Err.Clear

r = o.ReadHodTest("COM98")
CheckEqual Hex(Err.Number), "80070002", "ReadHodTest with only a port reaches the method (which finds no port)"
CheckEqual Err.Source, "TrelClientHelper.ClientHelper.1", "error source is the ProgID"
Check Left(Err.Description, Len("CClientHelper::ReadKey()" & nl)) = "CClientHelper::ReadKey()" & nl, _
      "ReadHodTest reports under the ReadKey context: " & Replace(Err.Description, nl, " | ")
Err.Clear

r = o.ReleasePicture2(1, 2, 3)
CheckEqual Left(Err.Description, 31), "CClientHelper::ReleasePicture()", "ReleasePicture2 reports under ReleasePicture"
Err.Clear

r = o.ReadKey("COM98")
CheckEqual Hex(Err.Number), "80070002", "ReadKey with one of three optional arguments"
Err.Clear

o.DestroyScanWindow
CheckEqual Err.Number, 0, "DestroyScanWindow with no scanner"
Err.Clear

r = o.NoSuchMethod()
CheckEqual Err.Number, 438, "unknown method is refused by the type library"
Err.Clear
On Error GoTo 0
Finish
