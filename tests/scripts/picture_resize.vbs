' ResizePicture as a script sees it: the standard sizes, a file already of the right size left
' alone, working copies and their deletion on failure, a comma in the name, and every failure of
' the command with its number, source, description and log entry. Corrupt, truncated and giant
' pictures of every format fail with string 102.
Dim o, nl, folder, r, before, snapshot, f, name, logPath
nl = Chr(13) & Chr(10)
Set o = WScript.CreateObject("TrelClientHelper.ClientHelper")
folder = gFso.GetSpecialFolder(2) & "\"
logPath = gFso.GetParentFolderName(gDllPath) & "\trel_log.txt"
Const kLoadFailed = "Не удалось загрузить файл с изображением."

Function LogSize()
    If gFso.FileExists(logPath) Then LogSize = gFso.GetFile(logPath).Size Else LogSize = 0
End Function

Function LogTail()
    LogTail = Mid(gFso.OpenTextFile(logPath, 1).ReadAll, before + 1)
End Function

' Working copies in the folder (names beginning with FV).
Function CopyCount()
    Dim file, n
    n = 0
    For Each file In gFso.GetFolder(folder).Files
        If UCase(Left(file.Name, 2)) = "FV" Then n = n + 1
    Next
    CopyCount = n
End Function

' Width and height from a GIF's screen descriptor, read through EncodeFile's hexadecimal text.
Function GifSize(path)
    Dim h
    h = o.EncodeFile(path)
    GifSize = CLng("&H" & Mid(h, 15, 2) & Mid(h, 13, 2)) & "x" & CLng("&H" & Mid(h, 19, 2) & Mid(h, 17, 2))
End Function

Function Fresh(size)
    Fresh = folder & "trel_resize_" & size & ".gif"
    gFso.CopyFile gDataDir & "\pictures\photo_" & size & ".gif", Fresh, True
End Function

' Expects the last call to have failed with E_FAIL and text after the context line.
Sub CheckFailure(text, what)
    CheckEqual Hex(Err.Number), "80004005", what & ": E_FAIL"
    CheckEqual Err.Source, "TrelClientHelper.ClientHelper.1", what & ": source"
    CheckEqual Err.Description, "CClientHelper::ResizePicture()" & nl & text, what & ": description"
    Err.Clear
    Check InStr(LogTail(), "CClientHelper::ResizePicture()" & nl & text) > 0, what & ": logged"
End Sub

' The standard sizes: the width decides for landscapes, the height for portraits.
Dim sizes, expected, i
sizes = Array("1600x1200", "1200x1600", "1000x333")
expected = Array("640x480", "360x480", "640x213")
For i = 0 To 2
    name = Fresh(sizes(i))
    r = o.ResizePicture(name, 640, 480, False)
    CheckEqual r, name, sizes(i) & ": resized in place"
    CheckEqual GifSize(r), expected(i), sizes(i) & " becomes " & expected(i)
    gFso.DeleteFile name
Next

' The right size already: the file is returned untouched.
name = Fresh("640x480")
Dim stamp, size0
size0 = gFso.GetFile(name).Size
snapshot = o.EncodeFile(name)
r = o.ResizePicture(name, 640, 480, False)
CheckEqual r, name, "right size: the same name"
CheckEqual o.EncodeFile(name), snapshot, "right size: not a byte rewritten"
gFso.DeleteFile name

' A working copy: the caller's file stays as it was.
name = Fresh("1600x1200")
r = o.ResizePicture(name, 640, 480, True)
Check r <> name And UCase(Left(gFso.GetFileName(r), 2)) = "FV", "bCopyRes: a working copy " & r
CheckEqual GifSize(r), "640x480", "bCopyRes: the copy is resized"
CheckEqual GifSize(name), "1600x1200", "bCopyRes: the original is untouched"
gFso.DeleteFile r

' A comma ends the file name; what follows is codec options. Here the name before it is no picture.
name = folder & "trel,resize.gif"
gFso.CopyFile gDataDir & "\pictures\photo_1600x1200.gif", name, True
before = LogSize()
On Error Resume Next
r = o.ResizePicture(name, 640, 480, False)
CheckFailure kLoadFailed, "a comma in the name"
On Error GoTo 0
gFso.DeleteFile name

' Resampling to a width of 0 fails with string 104; the copy made for it is deleted.
name = Fresh("1600x1200")
Dim copies
copies = CopyCount()
before = LogSize()
On Error Resume Next
r = o.ResizePicture(name, 0, 480, True)
CheckFailure "Не удалось изменить размеры изображения.", "width 0"
On Error GoTo 0
CheckEqual CopyCount(), copies, "width 0: the working copy is deleted"
gFso.DeleteFile name

' Saving fails with string 105: a Portrait file holds 512 x 512 pictures only, and the standard
' size of a square is 640 x 640.
name = folder & "trel_resize_square.cvp"
Set f = gFso.CreateTextFile(name, True, False)
f.Write String(512 * 512 * 3, Chr(0))
f.Close
before = LogSize()
On Error Resume Next
r = o.ResizePicture(name, 640, 480, False)
CheckFailure "Не удалось сохранить файл.", "save failure"
On Error GoTo 0
' Written in place, a failed save would have cost the caller the picture.
Check gFso.FileExists(name), "save failure: the picture is still there"
If gFso.FileExists(name) Then CheckEqual gFso.GetFile(name).Size, 512 * 512 * 3, "save failure: the picture is whole"
CheckEqual gFso.FileExists(name & ".~trel1"), False, "save failure: no set-aside copy left behind"
gFso.DeleteFile name

' Corrupt and truncated pictures of every format, and a bitmap claiming 60000 x 60000 pixels:
' string 102, the copy deleted, nothing else left behind.
Dim file, n
n = 0
copies = CopyCount()
For Each file In gFso.GetFolder(gDataDir & "\corrupt").Files
    name = folder & "trel_" & file.Name
    gFso.CopyFile file.Path, name, True
    before = LogSize()
    On Error Resume Next
    r = o.ResizePicture(name, 640, 480, True)
    CheckFailure kLoadFailed, file.Name
    On Error GoTo 0
    gFso.DeleteFile name
    n = n + 1
Next
Check n >= 30, n & " corrupt pictures tried"
CheckEqual CopyCount(), copies, "no working copy of a corrupt picture is left"
Finish
