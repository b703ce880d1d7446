' TrelClientHelper demonstration: what a script of the client program sees.
Option Explicit
Dim helper, shell, fso, result, logPath, dllPath, f, lastLine, line

dllPath = WScript.Arguments(0)
Set shell = CreateObject("WScript.Shell")
Set fso = CreateObject("Scripting.FileSystemObject")

Set helper = WScript.CreateObject("TrelClientHelper.ClientHelper")
WScript.Echo "Объект создан: " & TypeName(helper) & " (ProgID TrelClientHelper.ClientHelper)"
WScript.Echo "Рабочая папка для снимков: " & fso.GetSpecialFolder(2) & "\"

' An empty file name is not an error: the result is simply empty.
result = helper.ResizePicture("", 640, 480)
WScript.Echo "ResizePicture("""", 640, 480) = """ & result & """"

' A key put to the simulated reader on COM5 (an ASCII-line reader with the key 00A1B2C3).
Dim key
key = helper.ReadKey("COM5")
WScript.Echo "ReadKey(""COM5"") = " & key & " (&H" & Hex(key) & ")"

' A failure reaches the script as Err.Number, Err.Source and Err.Description.
On Error Resume Next
result = helper.ReadKey("COM98")
WScript.Echo "ReadKey(""COM98""), a port that does not exist:"
WScript.Echo "  Err.Number      = &H" & Hex(Err.Number)
WScript.Echo "  Err.Source      = " & Err.Source
WScript.Echo "  Err.Description = " & Replace(Err.Description, vbCrLf, " | ")
Err.Clear
On Error GoTo 0

' A photo of a few megapixels brought to the standard size 640 x 480, on a working copy.
Dim photo, resized
photo = WScript.Arguments(1)
WScript.Echo "Снимок: " & photo & ", " & fso.GetFile(photo).Size & " байт"
resized = helper.ResizePicture(photo, 640, 480, True)
WScript.Echo "ResizePicture(снимок, 640, 480, True) = " & resized & ", " & fso.GetFile(resized).Size & " байт"
fso.CopyFile resized, fso.GetParentFolderName(photo) & "\photo_640x480.jpg", True
fso.DeleteFile resized

' A small file as hexadecimal text, the way a script sends it to the server.
Dim small
small = fso.GetParentFolderName(photo) & "\small.bin"
Set f = fso.CreateTextFile(small, True, False)
f.Write "Trel" & Chr(0) & Chr(1) & Chr(&HAB)
f.Close
WScript.Echo "EncodeFile(""small.bin"") = """ & helper.EncodeFile(small) & """"

logPath = fso.GetParentFolderName(dllPath) & "\trel_log.txt"
If fso.FileExists(logPath) Then
    Set f = fso.OpenTextFile(logPath, 1)
    ' An entry spans several lines: from the date to "File: ...; Line: ...".
    Dim entry, inEntry
    Do While Not f.AtEndOfStream
        line = f.ReadLine
        If InStr(line, vbTab & "CClientHelper::") > 0 Then
            entry = line
            inEntry = True
        ElseIf inEntry Then
            entry = entry & " | " & line
        End If
        If InStr(line, "File: ") > 0 Then
            If inEntry Then lastLine = entry
            inEntry = False
        End If
    Loop
    f.Close
    WScript.Echo "Журнал " & logPath & ", последняя запись:"
    WScript.Echo "  " & Replace(lastLine, vbTab, " <TAB> ")
End If
WScript.Echo "Готово."
