' GetPictureFromCam from a script, with a driver (tests/wine/video_script.sh) that presses OK in
' the first dialog, Cancel in the second, and OK in the warning of the third call, made after the
' capture device has gone.
Dim o, r, tempFolder
Set o = WScript.CreateObject("TrelClientHelper.ClientHelper")
tempFolder = gFso.GetSpecialFolder(2).Path
If Right(tempFolder, 1) <> "\" Then tempFolder = tempFolder & "\"

r = o.GetPictureFromCam(0)
Check VarType(r) = vbString And r <> "", "OK gives a file name: " & r
Check gFso.FileExists(r), "the file is there"
CheckEqual LCase(gFso.GetParentFolderName(r) & "\"), LCase(tempFolder), "in the temporary folder"
Check Left(gFso.GetFileName(r), 3) = "FV_" And LCase(gFso.GetExtensionName(r)) = "jpg", "named FV_<number>.jpg"
If gFso.FileExists(r) Then
    Check gFso.GetFile(r).Size > 1000, "a whole JPEG file (" & gFso.GetFile(r).Size & " bytes)"
    gFso.DeleteFile r
End If

r = o.GetPictureFromCam(0)
CheckEqual r, "", "Cancel gives an empty result"

r = o.GetPictureFromCam(0)
CheckEqual r, "", "no capture device: the warning, then an empty result and no error"
Finish
