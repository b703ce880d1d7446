' Shared by every VBScript test (the runner puts it in front of the script).
' Arguments: 0 = result file, 1 = tests\data folder, 2 = the DLL under test.
Option Explicit
Dim gFso, gOut, gFailures, gDataDir, gDllPath
Set gFso = CreateObject("Scripting.FileSystemObject")
Set gOut = gFso.CreateTextFile(WScript.Arguments(0), True, False)
gFailures = 0
gDataDir = WScript.Arguments(1)
gDllPath = WScript.Arguments(2)

Sub Report(text)
    gOut.WriteLine text
End Sub

Sub Check(cond, what)
    If cond Then
        Report "ok   " & what
    Else
        Report "FAIL " & what
        gFailures = gFailures + 1
    End If
End Sub

Sub CheckEqual(actual, expected, what)
    If actual = expected Then
        Report "ok   " & what
    Else
        Report "FAIL " & what & ": got [" & actual & "], expected [" & expected & "]"
        gFailures = gFailures + 1
    End If
End Sub

Sub Finish()
    Report "DONE"
    gOut.Close
End Sub
