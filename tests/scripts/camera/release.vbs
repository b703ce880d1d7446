' ReleasePicture and ReleasePicture2 from VBScript against the camera library stand-in: the names
' and files a take leaves, the counter across takes and both methods, the codes the camera is
' given, and the failures a script sees. The module is fresh in this process: the counter starts at 0.
Dim sh, cfgPath, recPath, dataDir, o, r, nl, thumb, jpeg, raw, further, failText
Set sh = CreateObject("WScript.Shell")
' The harness passes Linux-style separators; Wine's expansion may keep the terminating zero.
Function EnvPath(name)
    Dim v
    v = sh.ExpandEnvironmentStrings("%" & name & "%")
    If InStr(v, Chr(0)) > 0 Then v = Left(v, InStr(v, Chr(0)) - 1)
    EnvPath = Replace(v, "/", "\")
End Function
cfgPath = EnvPath("TREL_CDSDK_CONFIG")
recPath = EnvPath("TREL_CDSDK_RECORD")
dataDir = EnvPath("TREL_CAMERA_DATA")
nl = Chr(13) & Chr(10)
thumb = "item 16 1 " & dataDir & "\thumb.jpg"
jpeg = "item 32 1 " & dataDir & "\photo.jpg"
raw = "item 32 0 " & dataDir & "\raw.crw"
further = "item 80 1 " & dataDir & "\photo.jpg"
failText = "CClientHelper::ReleasePicture()" & nl & _
    "Не удалось сфотографировать. Проверьте, подключена ли камера, открыт ли затвор и установлен ли драйвер!"

Sub Configure(text)
    Dim f
    Set f = gFso.CreateTextFile(cfgPath, True, False)
    f.Write text & nl
    f.Close
End Sub

Function RecordText()
    RecordText = ""
    If gFso.FileExists(recPath) Then
        Dim f
        Set f = gFso.OpenTextFile(recPath, 1, False, 0)
        If Not f.AtEndOfStream Then RecordText = f.ReadAll
        f.Close
    End If
End Function

Sub ForgetRecord()
    If gFso.FileExists(recPath) Then gFso.DeleteFile recPath
End Sub

Function Occurrences(text, part)
    Occurrences = UBound(Split(text, part))
End Function

Sub ExpectFailure(what)
    CheckEqual Hex(Err.Number), "80004005", what & ": E_FAIL"
    CheckEqual Err.Description, failText, what & ": the camera failure text"
    Err.Clear
End Sub

ForgetRecord
Set o = WScript.CreateObject("TrelClientHelper.ClientHelper")

' A thumbnail and a JPEG picture: two consecutive names, the thumbnail gone, the picture returned.
Configure thumb & nl & jpeg
r = o.ReleasePicture(2, 1)
CheckEqual gFso.GetFileName(r), "FV000001.JPG", "the picture after the thumbnail"
Check gFso.FileExists(r), "the picture's file exists"
Check Not gFso.FileExists(gFso.BuildPath(gFso.GetParentFolderName(r), "TH000000.JPG")), "the thumbnail is deleted"
CheckEqual gFso.GetFile(r).Size, gFso.GetFile(dataDir & "\photo.jpg").Size, "the file has the camera's size"
Check InStr(RecordText(), "quality=3 size=2") > 0, "size 2 and quality 1 give codes 2 and 3"
Check InStr(RecordText(), "flash=1 compensation=255") > 0, "ReleasePicture asks for flash 1"

' Raw and a further picture by the other method: CRW kept, FP returned, the connection kept.
ForgetRecord
Configure thumb & nl & raw & nl & further
r = o.ReleasePicture2(5, 0, 0)
CheckEqual gFso.GetFileName(r), "FP000004.JPG", "the further picture is returned"
Check gFso.FileExists(gFso.BuildPath(gFso.GetParentFolderName(r), "FV000003.CRW")), "the raw picture is kept as CRW"
Check InStr(RecordText(), "quality=5 size=0") > 0, "other sizes and qualities give codes 0 and 5"
Check InStr(RecordText(), "flash=0 compensation=255") > 0, "ReleasePicture2 passes its flash mode"
CheckEqual Occurrences(RecordText(), "CDOpenSource"), 0, "the second take keeps the connection"

On Error Resume Next
' Error identifier 5: a failure, the connection kept.
ForgetRecord
Configure jpeg & nl & "fetcherror 1 0x00010005"
r = o.ReleasePicture(1, 1)
ExpectFailure "error 5"
CheckEqual Occurrences(RecordText(), "CDCloseSource"), 0, "error 5 keeps the connection"
' Another identifier: a failure, the connection closed; then no camera at all.
Configure jpeg & nl & "fetcherror 1 0x0022"
r = o.ReleasePicture2(1, 1, 1)
ExpectFailure "another error"
CheckEqual Occurrences(RecordText(), "CDCloseSource"), 1, "another error closes the connection"
Configure "cameras 0"
r = o.ReleasePicture(1, 1)
ExpectFailure "no camera"
On Error GoTo 0

' The counter went on only for items fetched: the next picture is the sixth name.
ForgetRecord
Configure jpeg
r = o.ReleasePicture2(1, 1, 1)
CheckEqual gFso.GetFileName(r), "FV000005.JPG", "the counter keeps counting across takes and methods"
CheckEqual Occurrences(RecordText(), "CDOpenSource"), 1, "a new connection after the failures"
Check InStr(RecordText(), "VIOLATION") = 0, "the library's rules were kept"
Set o = Nothing
Finish
