' OpenPictureWith and PrintPicture with the stand-in programs: the command line each gets, the
' window it is shown in, the working copy, exit codes, a program that does not exist, the photo
' editor from the registry. Failures as a script sees them, with their log entries.
Dim o, sh, nl, folder, toolDir, editor, picture, r, lines, logPath, before, size0
nl = Chr(13) & Chr(10)
Set sh = CreateObject("WScript.Shell")
folder = gFso.GetSpecialFolder(2) & "\"
toolDir = gFso.GetParentFolderName(gDllPath) & "\"
editor = toolDir & "trel_photoed.exe"
logPath = gFso.GetParentFolderName(gDllPath) & "\trel_log.txt"

Function ReadAll(path)
    ReadAll = ""
    If gFso.FileExists(path) Then
        If gFso.GetFile(path).Size > 0 Then ReadAll = gFso.OpenTextFile(path, 1).ReadAll
    End If
End Function

Function LogSize()
    If gFso.FileExists(logPath) Then LogSize = gFso.GetFile(logPath).Size Else LogSize = 0
End Function

' What the log gained since the size noted in before.
Function LogTail()
    Dim all
    all = ReadAll(logPath)
    LogTail = Mid(all, before + 1)
End Function

Sub Configure(exe, exitCode)
    Dim f
    Set f = gFso.CreateTextFile(Left(exe, Len(exe) - 4) & ".cfg", True, False)
    f.WriteLine "exit=" & exitCode
    f.Close
    If gFso.FileExists(Left(exe, Len(exe) - 4) & ".log") Then gFso.DeleteFile Left(exe, Len(exe) - 4) & ".log"
End Sub

Function Calls(exe)
    Calls = ReadAll(Left(exe, Len(exe) - 4) & ".log")
End Function

Sub NewPicture()
    Dim f
    picture = folder & "trel_open_with.jpg"
    Set f = gFso.CreateTextFile(picture, True, False)
    f.Write "picture"
    f.Close
End Sub

Set o = WScript.CreateObject("TrelClientHelper.ClientHelper")

' The program as given: upper-cased, not quoted, the file in quotes, shown maximised.
NewPicture
Configure editor, 0
r = o.OpenPictureWith(0, picture, editor, False)
CheckEqual r, picture, "OpenPictureWith returns the file it opened"
lines = Calls(editor)
CheckEqual Left(lines, Len("cmd=" & UCase(editor) & " """ & picture & """" & nl)), _
    "cmd=" & UCase(editor) & " """ & picture & """" & nl, "command line: upper-cased program, quoted file"
Check InStr(lines, "show=3" & nl) > 0, "the program is shown maximised"
CheckEqual gFso.GetFile(picture).Size, 13, "the program changed the file in place"

' A working copy: the copy is opened and returned, the caller's file stays as it was.
NewPicture
Configure editor, 0
r = o.OpenPictureWith(0, picture, editor, True)
Check r <> picture And Left(gFso.GetFileName(r), 2) = "FV", "bCopyRes works on a copy in the working folder: " & r
CheckEqual gFso.GetFile(picture).Size, 7, "the caller's file is untouched"
CheckEqual gFso.GetFile(r).Size, 13, "the copy was edited"
gFso.DeleteFile r

' A nonzero exit code: E_FAIL with string 40183 naming the program; the copy is left.
NewPicture
Configure editor, 3
before = LogSize()
On Error Resume Next
r = o.OpenPictureWith(0, picture, editor, False)
CheckEqual Hex(Err.Number), "80004005", "exit code 3 gives E_FAIL"
CheckEqual Err.Source, "TrelClientHelper.ClientHelper.1", "exit code: source"
CheckEqual Err.Description, "CClientHelper::OpenPictureWith()" & nl & "Ошибка при завершении программы " & UCase(editor), _
    "exit code: description"
On Error GoTo 0
Check InStr(LogTail(), "Ошибка при завершении программы " & UCase(editor)) > 0, "exit code: logged"
CheckEqual gFso.GetFile(picture).Size, 13, "the program's work stays in the file"

' A program that does not exist: the system's message, a line break, string 40182.
before = LogSize()
On Error Resume Next
r = o.OpenPictureWith(0, picture, toolDir & "no_such_editor.exe", False)
CheckEqual Hex(Err.Number), "80070002", "missing program: HRESULT of ERROR_FILE_NOT_FOUND"
Check Right(Err.Description, Len(nl & "Не удалось запустить программу " & UCase(toolDir & "no_such_editor.exe"))) = _
    nl & "Не удалось запустить программу " & UCase(toolDir & "no_such_editor.exe"), _
    "missing program: description ends with string 40182: " & Replace(Err.Description, nl, " | ")
CheckEqual Left(Err.Description, Len("CClientHelper::OpenPictureWith()" & nl)), "CClientHelper::OpenPictureWith()" & nl, _
    "missing program: context first"
On Error GoTo 0
Check InStr(LogTail(), "Не удалось запустить программу") > 0, "missing program: logged"

' "photoed" stands for the registered editor; the last four characters of its command are dropped.
Const editorKey = "HKCR\Applications\PhotoEd.exe\shell\open\command\"
sh.RegWrite editorKey, editor & " ""%1""", "REG_SZ"
Set o = WScript.CreateObject("TrelClientHelper.ClientHelper")
NewPicture
Configure editor, 0
r = o.OpenPictureWith(0, picture, "photoed", False)
CheckEqual r, picture, "photoed: the registered editor worked on the file"
CheckEqual Left(Calls(editor), Len("cmd=" & editor & "  """ & picture & """")), "cmd=" & editor & "  """ & picture & """", _
    "photoed: the registry's command without its last four characters"
' WScript.Shell's RegDelete is missing from Wine: reg.exe removes the key.
CheckEqual sh.Run("reg delete HKCR\Applications\PhotoEd.exe /f", 0, True), 0, "the editor key is removed again"

' PrintPicture: "mspaint.exe /p" and the quoted file, minimised without activation. The paint
' program is found in the current folder.
Dim paint
paint = sh.CurrentDirectory & "\mspaint.exe"
gFso.CopyFile toolDir & "mspaint.exe", paint, True
NewPicture
Configure paint, 0
o.PrintPicture 0, picture
lines = Calls(paint)
Check InStr(lines, "cmd=mspaint.exe /p """ & picture & """" & nl) > 0, "PrintPicture command line: " & lines
Check InStr(lines, "show=7" & nl) > 0, "the paint program is shown minimised without activation"

Configure paint, 1
before = LogSize()
On Error Resume Next
o.PrintPicture 0, picture
CheckEqual Hex(Err.Number), "80004005", "paint program exit code 1 gives E_FAIL"
CheckEqual Err.Description, "CClientHelper::PrintPicture()" & nl & "Ошибка при завершении программы MSPAINT.EXE", _
    "paint exit code: description names MSPAINT.EXE"
On Error GoTo 0
Check InStr(LogTail(), "MSPAINT.EXE") > 0, "paint exit code: logged"

gFso.DeleteFile paint
On Error Resume Next
o.PrintPicture 0, picture
CheckEqual Hex(Err.Number), "80070002", "no paint program: ERROR_FILE_NOT_FOUND"
Check Right(Err.Description, Len("Не удалось запустить программу MSPAINT.EXE")) = "Не удалось запустить программу MSPAINT.EXE", _
    "no paint program: string 40182 with MSPAINT.EXE"
On Error GoTo 0
gFso.DeleteFile Left(paint, Len(paint) - 4) & ".*"
gFso.DeleteFile picture
Finish
