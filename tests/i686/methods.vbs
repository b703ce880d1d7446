' The shipped 32-bit DLL from a script: the object by both ProgIDs, and every method that needs no
' dialog and no device. Argument 3: a JPEG photo to resize (made by the runner).
Dim a, b, r, photo, gif, nl, logPath, logBefore
nl = Chr(13) & Chr(10)
photo = WScript.Arguments(3)
Set a = WScript.CreateObject("TrelClientHelper.ClientHelper")
Set b = WScript.CreateObject("TrelClientHelper.ClientHelper.1")
CheckEqual TypeName(a), "IClientHelper", "created by the version-independent ProgID"
CheckEqual TypeName(b), "IClientHelper", "created by the versioned ProgID"
logPath = gFso.GetParentFolderName(gDllPath) & "\trel_log.txt"

Function LogSize()
    If gFso.FileExists(logPath) Then LogSize = gFso.GetFile(logPath).Size Else LogSize = 0
End Function

' A call that must fail with the component's own error, not the automation layer's.
Sub CheckComponentError(what, expectedContext)
    Dim lines
    lines = Split(Err.Description, nl)
    Check Err.Number <> 0, what & ": fails (" & Hex(Err.Number) & ")"
    CheckEqual Err.Source, "TrelClientHelper.ClientHelper.1", what & ": source"
    CheckEqual lines(0), expectedContext, what & ": context"
    Err.Clear
End Sub

' EncodeFile: every byte value of a file written through the 1251 code page.
Dim f, path, i, expected
path = gFso.GetSpecialFolder(2) & "\trel_i686_bytes.bin"
Set f = gFso.CreateTextFile(path, True, False)
expected = ""
For i = 0 To 255
    f.Write Chr(i)
    expected = expected & Right("0" & Hex(Asc(Chr(i))), 2)
Next
f.Close
CheckEqual b.EncodeFile(path), expected, "EncodeFile of 256 bytes"
gFso.DeleteFile path

' ResizePicture on the bundled GIF and on a JPEG: working copies with the new size.
gif = gFso.GetSpecialFolder(2) & "\trel_i686_1600x1200.gif"
gFso.CopyFile gDataDir & "\pictures\photo_1600x1200.gif", gif, True
r = a.ResizePicture(gif, 640, 480, True)
Check r <> "" And r <> gif And gFso.FileExists(r), "ResizePicture of a GIF gives a working copy: " & r
Report "RESIZED-GIF " & r
r = a.ResizePicture(photo, 640, 480, True)
Check r <> "" And r <> photo And gFso.FileExists(r), "ResizePicture of a JPEG gives a working copy: " & r
Report "RESIZED-JPEG " & r
CheckEqual a.ResizePicture("", 640, 480), "", "ResizePicture of no file"

' Methods that give an empty result at once for an empty file name.
CheckEqual a.SelectPicturePart(0, ""), "", "SelectPicturePart of no file"
CheckEqual a.OpenPictureWith(0, "", "PHOTOED"), "", "OpenPictureWith of no file"
a.DestroyScanWindow
Report "ok   DestroyScanWindow"

On Error Resume Next
' Ports that do not exist: the port's own error under the ReadKey context, for both readers.
logBefore = LogSize()
r = a.ReadKey("COM98")
CheckEqual Hex(Err.Number), "80070002", "ReadKey on a missing port"
CheckComponentError "ReadKey on a missing port", "CClientHelper::ReadKey()"
r = b.ReadHodTest("COM97")
CheckEqual Hex(Err.Number), "80070002", "ReadHodTest on a missing port"
CheckComponentError "ReadHodTest on a missing port", "CClientHelper::ReadKey()"
Check LogSize() > logBefore, "the failures are logged beside the DLL"

' No camera here: the camera methods fail with their own error. Scanning without a window opens no
' session and returns nothing, successfully. (GetPictureFromCam shows a dialog or a warning box.)
r = a.ReleasePicture(1, 80)
CheckComponentError "ReleasePicture without a camera", "CClientHelper::ReleasePicture()"
r = a.ReleasePicture2(1, 80, 0)
CheckComponentError "ReleasePicture2 without a camera", "CClientHelper::ReleasePicture()"
r = a.ScanPicture(0, False)
CheckEqual Err.Number, 0, "ScanPicture without a window succeeds"
CheckEqual r, "", "and returns no path"
Err.Clear

' A picture that cannot be loaded, and the automation layer's own refusal of a wrong type.
r = a.ResizePicture(gFso.GetSpecialFolder(2) & "\trel_i686_missing.jpg", 64, 48)
CheckComponentError "ResizePicture of a missing picture", "CClientHelper::ResizePicture()"
r = a.ResizePicture(gif, "wide", 48)
CheckEqual Err.Number, 13, "a text for a long: type mismatch from the automation layer"
Err.Clear
On Error GoTo 0
gFso.DeleteFile gif
Set a = Nothing
Set b = Nothing
Finish
