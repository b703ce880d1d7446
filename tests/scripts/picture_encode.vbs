' EncodeFile as a script sees it: the bytes as hexadecimal text, an empty file, a file that
' cannot be opened.
Dim o, folder, path, f, r, nl, logPath, before
nl = Chr(13) & Chr(10)
Set o = WScript.CreateObject("TrelClientHelper.ClientHelper")
folder = gFso.GetSpecialFolder(2) & "\"
logPath = gFso.GetParentFolderName(gDllPath) & "\trel_log.txt"

Function LogSize()
    If gFso.FileExists(logPath) Then LogSize = gFso.GetFile(logPath).Size Else LogSize = 0
End Function

' Three bytes 00 AB 10, written through ADODB-free means: a text stream of code page 1251
' characters maps Chr(&HAB) to the byte AB.
path = folder & "trel_encode_3.bin"
Set f = gFso.CreateTextFile(path, True, False)
f.Write Chr(0) & Chr(&HAB) & Chr(&H10)
f.Close
CheckEqual gFso.GetFile(path).Size, 3, "test file holds three bytes"
r = o.EncodeFile(path)
CheckEqual r, "00AB10", "EncodeFile of 00 AB 10"

path = folder & "trel_encode_empty.bin"
Set f = gFso.CreateTextFile(path, True, False)
f.Close
r = o.EncodeFile(path)
CheckEqual TypeName(r), "String", "an empty file gives a string"
CheckEqual Len(r), 0, "an empty file gives an empty string"

' Every byte value once, in order.
path = folder & "trel_encode_all.bin"
Dim i, all, expected
Set f = gFso.CreateTextFile(path, True, False)
For i = 0 To 255
    f.Write Chr(i)
Next
f.Close
If gFso.GetFile(path).Size = 256 Then
    r = o.EncodeFile(path)
    CheckEqual Len(r), 512, "256 bytes give 512 characters"
    CheckEqual Mid(r, 1, 8), "00010203", "the text starts with the first bytes"
    CheckEqual Mid(r, 505, 8), "FCFDFEFF", "upper-case digits, high half first"
End If

' A file that cannot be opened: the framework's file error first, the context last, no log entry.
before = LogSize()
On Error Resume Next
r = o.EncodeFile(folder & "no_such_file_here.bin")
CheckEqual Hex(Err.Number), "80020009", "missing file: DISP_E_EXCEPTION"
CheckEqual Err.Source, "TrelClientHelper.ClientHelper.1", "missing file: source"
CheckEqual Right(Err.Description, Len(nl & "CClientHelper::EncodeFile()")), nl & "CClientHelper::EncodeFile()", _
    "missing file: the context comes last"
Check InStr(Err.Description, "no_such_file_here.bin") > 0, "missing file: the description names the file: " & _
    Replace(Err.Description, nl, " | ")
Err.Clear
On Error GoTo 0
CheckEqual LogSize(), before, "a framework exception writes no log entry"
Finish
