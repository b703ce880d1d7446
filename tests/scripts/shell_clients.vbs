' A VBScript client of every method: what the script sees for each call, what the automation
' layer refuses before the method runs, and the log line each failing call leaves beside the DLL.
Const kProgId = "TrelClientHelper.ClientHelper.1"
Const kNotImpl = "80004001"
Dim gNum, gSrc, gDesc, gRes, gLogPath, gStamp
gLogPath = gFso.GetParentFolderName(gDllPath) & "\trel_log.txt"
Set gStamp = New RegExp
gStamp.Pattern = "^(\d\d)\.(\d\d)\.(\d{4}) (\d{1,2}):(\d\d):(\d\d)\t"

' One call per case name; optional arguments are left out wherever the interface allows it.
Sub CallCase(o, name)
    gRes = Empty
    On Error Resume Next
    Err.Clear
    Select Case name
        Case "ReadKey(port)":      gRes = o.ReadKey("COM98")
        Case "ReadKey(port,,hwnd)": gRes = o.ReadKey("COM98", , 0)
        Case "SelectPicturePart":  gRes = o.SelectPicturePart(0, "photo.jpg")
        Case "ReleasePicture":     gRes = o.ReleasePicture(640, 80)
        Case "ResizePicture":      gRes = o.ResizePicture("photo.jpg", 640, 480)
        Case "OpenPictureWith":    gRes = o.OpenPictureWith(0, "photo.jpg", "Z:\no\such\editor.exe")
        Case "PrintPicture":       o.PrintPicture 0, "photo.jpg"
        Case "EncodeFile":         gRes = o.EncodeFile("photo.jpg")
        Case "ReleasePicture2":    gRes = o.ReleasePicture2(640, 80, 1)
        Case "ReadHodTest(port)":  gRes = o.ReadHodTest("COM98")
        Case "GetPictureFromCam":  gRes = o.GetPictureFromCam(0)
        Case "ScanPicture":        gRes = o.ScanPicture(0, True)
        Case "SelectScanSource":   gRes = o.SelectScanSource(0)
        Case "DestroyScanWindow":  o.DestroyScanWindow
        ' empty file names
        Case "SelectPicturePart('')":      gRes = o.SelectPicturePart(0, "")
        Case "SelectPicturePart('',all)":  gRes = o.SelectPicturePart(0, "", True, 320, 240)
        Case "ResizePicture('')":          gRes = o.ResizePicture("", 640, 480)
        Case "ResizePicture('',copy)":     gRes = o.ResizePicture("", 640, 480, True)
        Case "OpenPictureWith('')":        gRes = o.OpenPictureWith(0, "", "")
        Case "OpenPictureWith('',editor)": gRes = o.OpenPictureWith(0, "", "PHOTOED", True)
        ' arguments the automation layer must refuse
        Case "long 'abc'":         gRes = o.ReleasePicture("abc", 80)
        Case "long 'x' (2nd)":     gRes = o.ResizePicture("photo.jpg", "x", 480)
        Case "long overflow":      gRes = o.GetPictureFromCam(3000000000)
        Case "bool 'yes'":         gRes = o.ScanPicture(0, "yes")
        Case "object 'ui'":        gRes = o.ReadKey("COM3", "ui")
        Case "Null for a string":  gRes = o.EncodeFile(Null)
        Case "ReleasePicture(1)":  gRes = o.ReleasePicture(640)
        Case "EncodeFile()":       gRes = o.EncodeFile()
        Case "PrintPicture 0":     o.PrintPicture 0
        Case "OpenPictureWith(2)": gRes = o.OpenPictureWith(0, "photo.jpg")
        Case "SelectScanSource()": gRes = o.SelectScanSource()
        Case "ReadKey(4 args)":    gRes = o.ReadKey("COM3", Nothing, 0, 1)
        ' arguments the automation layer converts
        Case "long '640'":         gRes = o.ReleasePicture("640", "80")
        Case Else:                 Err.Raise 5, "test", "no such case " & name
    End Select
    gNum = Err.Number
    gSrc = Err.Source
    gDesc = Err.Description
    Err.Clear
End Sub

Function Shown(text)
    Shown = Replace(text, vbCrLf, " | ")
End Function

Function LogText()
    LogText = ""
    If gFso.FileExists(gLogPath) Then
        Dim f
        Set f = gFso.OpenTextFile(gLogPath, 1, False, 0)
        If Not f.AtEndOfStream Then LogText = f.ReadAll
        f.Close
    End If
End Function

' Entries are the lines that start with a time stamp; an entry's text may hold line breaks.
Function LogEntryCount()
    Dim lines, i, n
    lines = Split(LogText(), vbCrLf)
    n = 0
    For i = 0 To UBound(lines)
        If gStamp.Test(lines(i)) Then n = n + 1
    Next
    LogEntryCount = n
End Function

Function LastLogEntry()
    Dim text, lines, i, start, pos
    text = LogText()
    lines = Split(text, vbCrLf)
    start = -1
    pos = 1
    For i = 0 To UBound(lines)
        If gStamp.Test(lines(i)) Then start = pos
        pos = pos + Len(lines(i)) + 2
    Next
    If start < 0 Then LastLogEntry = "" Else LastLogEntry = Mid(text, start)
End Function

Function Two(n)
    Two = Right("0" & n, 2)
End Function

' The stamp is the local date and time, day first: dd.mm.yyyy h:mm:ss.
Sub CheckLogEntry(entry, description, what)
    Dim m, today, yesterday, stampSecs, nowSecs, stampDate
    If Not gStamp.Test(entry) Then
        Check False, what & ": entry starts with a dd.mm.yyyy h:mm:ss stamp and a tab: [" & Shown(Left(entry, 40)) & "]"
        Exit Sub
    End If
    Set m = gStamp.Execute(entry)(0)
    today = Two(Day(Now)) & "." & Two(Month(Now)) & "." & Year(Now)
    ' a call made just before midnight is stamped with the day before
    yesterday = Two(Day(Now - 1 / 720)) & "." & Two(Month(Now - 1 / 720)) & "." & Year(Now - 1 / 720)
    stampDate = m.SubMatches(0) & "." & m.SubMatches(1) & "." & m.SubMatches(2)
    Check stampDate = today Or stampDate = yesterday, _
          what & ": stamp date " & stampDate & " is today's, day first (" & today & ")"
    stampSecs = CLng(m.SubMatches(3)) * 3600 + CLng(m.SubMatches(4)) * 60 + CLng(m.SubMatches(5))
    nowSecs = CLng(Timer)
    Check Abs(nowSecs - stampSecs) <= 120 Or Abs(nowSecs - stampSecs) >= 86400 - 120, _
          what & ": stamp time " & Mid(m.Value, 12, 8) & " is the local time now"
    Check Mid(entry, Len(m.Value) + 1, Len(description)) = description, _
          what & ": the entry holds the description the script saw: [" & Shown(Left(entry, 160)) & "]"
    CheckEqual Right(entry, 2), vbCrLf, what & ": the entry ends with CR LF"
End Sub

' ---- both ProgIDs give working objects ----
Dim objA, objB, before
Set objA = WScript.CreateObject("TrelClientHelper.ClientHelper")
Set objB = WScript.CreateObject(kProgId)
Check Not (objA Is objB), "each WScript.CreateObject gives an object of its own"
CallCase objA, "SelectPicturePart('')"
CheckEqual gNum, 0, "object by the version-independent ProgID answers a call"
CallCase objB, "SelectPicturePart('')"
CheckEqual gNum, 0, "object by the versioned ProgID answers a call"
CallCase objA, "ReleasePicture"
CheckEqual gSrc, kProgId, "a failure of the version-independent object names the versioned ProgID"
Set objA = Nothing
CallCase objB, "ReleasePicture"
CheckEqual Hex(gNum), "80004005", "the other object still works after one is released (no camera here)"
CallCase objB, "DestroyScanWindow"
CheckEqual gNum, 0, "and releases its scanner session"

' ---- scanning without a window: no session can open the manager; nothing scanned, no error ----
Set o = WScript.CreateObject("TrelClientHelper.ClientHelper")
before = LogEntryCount()
CallCase o, "ScanPicture"
CheckEqual gNum, 0, "ScanPicture(0, True) succeeds"
CheckEqual gRes, "", "and returns an empty path"
CallCase o, "SelectScanSource"
CheckEqual gNum, 0, "SelectScanSource(0) succeeds"
CheckEqual gRes, False, "and returns False"
CheckEqual LogEntryCount(), before, "nothing is logged"
o.DestroyScanWindow
Set o = Nothing

Dim o, cases, i, name, context, entries
Set o = WScript.CreateObject("TrelClientHelper.ClientHelper")

' ---- built methods failing on what is not there (a port, a program): their own errors ----
' The port COM98 and the program do not exist; the paint program is not in the current folder;
' there is no camera library.
cases = Array( _
    "ReadKey(port)", "CClientHelper::ReadKey()", "CCOMFile::Open CreateFile()", _
    "ReadKey(port,,hwnd)", "CClientHelper::ReadKey()", "CCOMFile::Open CreateFile()", _
    "ReadHodTest(port)", "CClientHelper::ReadKey()", "CCOMFile::Open CreateFile()", _
    "OpenPictureWith", "CClientHelper::OpenPictureWith()", "Z:\NO\SUCH\EDITOR.EXE", _
    "PrintPicture", "CClientHelper::PrintPicture()", "MSPAINT.EXE", _
    "ReleasePicture", "CClientHelper::ReleasePicture()", "Не удалось сфотографировать", _
    "ReleasePicture2", "CClientHelper::ReleasePicture()", "Не удалось сфотографировать", _
    "SelectPicturePart", "CClientHelper::SelectPicturePart()", "CImageViewer::SetFileName()")
For i = 0 To UBound(cases) Step 3
    name = cases(i)
    context = cases(i + 1)
    before = LogEntryCount()
    CallCase o, name
    Check gNum < 0 And Hex(gNum) <> kNotImpl, name & ": a failure of its own, got " & Hex(gNum)
    CheckEqual gSrc, kProgId, name & ": source"
    Check Left(gDesc, Len(context) + 2) = context & vbCrLf, name & ": description starts with " & context & " and CR LF"
    Check InStr(gDesc, cases(i + 2)) > 0, name & ": the description names " & cases(i + 2) & ": [" & Shown(gDesc) & "]"
    ' The port object also logs its missing FTDI chip-ID library (an entry of its own) on this machine.
    Check LogEntryCount() >= before + 1, name & ": the failing call is logged"
    CheckLogEntry LastLogEntry(), gDesc, name
Next

' ---- empty file names and the scanner session: success, an empty string, nothing logged ----
cases = Array("SelectPicturePart('')", "SelectPicturePart('',all)", "ResizePicture('')", "ResizePicture('',copy)", _
              "OpenPictureWith('')", "OpenPictureWith('',editor)")
For i = 0 To UBound(cases)
    before = LogEntryCount()
    CallCase o, cases(i)
    CheckEqual gNum, 0, cases(i) & ": succeeds"
    CheckEqual TypeName(gRes), "String", cases(i) & ": returns a string"
    CheckEqual gRes, "", cases(i) & ": and it is empty"
    CheckEqual LogEntryCount(), before, cases(i) & ": nothing logged"
Next
before = LogEntryCount()
CallCase o, "DestroyScanWindow"
CheckEqual gNum, 0, "DestroyScanWindow succeeds"
CallCase o, "DestroyScanWindow"
CheckEqual gNum, 0, "DestroyScanWindow twice"
CheckEqual LogEntryCount(), before, "DestroyScanWindow: nothing logged"

' ---- arguments the automation layer refuses: the method never runs, so nothing is logged ----
' Type mismatch is VBScript's error 13; too few or too many arguments is 450 (449 where the
' automation layer reports DISP_E_PARAMNOTOPTIONAL instead of DISP_E_BADPARAMCOUNT).
cases = Array( _
    "long 'abc'", "13", _
    "long 'x' (2nd)", "13", _
    "long overflow", "6", _
    "bool 'yes'", "13", _
    "object 'ui'", "13", _
    "Null for a string", "13", _
    "ReleasePicture(1)", "450 449", _
    "EncodeFile()", "450 449", _
    "PrintPicture 0", "450 449", _
    "OpenPictureWith(2)", "450 449", _
    "SelectScanSource()", "450 449", _
    "ReadKey(4 args)", "450 449")
For i = 0 To UBound(cases) Step 2
    before = LogEntryCount()
    CallCase o, cases(i)
    Check InStr(" " & cases(i + 1) & " ", " " & gNum & " ") > 0, _
          cases(i) & ": refused with " & cases(i + 1) & ", got " & gNum & " (" & Shown(gDesc) & ")"
    Check gSrc <> kProgId, cases(i) & ": refused before the component, source [" & gSrc & "]"
    CheckEqual LogEntryCount(), before, cases(i) & ": nothing logged"
Next
CallCase o, "long '640'"
CheckEqual Hex(gNum), "80004005", "numeric strings for longs are converted and the call reaches the method"
Check InStr(gDesc, "Не удалось сфотографировать") > 0, "which fails on the missing camera: [" & Shown(gDesc) & "]"
Finish
