' SelectPicturePart as a script sees it, with the driver program working the dialog as the
' operator: the part selected (dragged with the mouse, moved a step with an arrow key) written at
' the target size into a working copy, the selection remembered for that size, Cancel leaving no
' copy and giving an empty result, an empty name giving an empty result at once.
Dim o, sh, folder, driver, file, r, copies, keyPath
Set o = WScript.CreateObject("TrelClientHelper.ClientHelper")
Set sh = CreateObject("WScript.Shell")
folder = gFso.GetSpecialFolder(2) & "\"
driver = gFso.GetParentFolderName(gDllPath) & "\selectpart_driver.exe"
keyPath = "HKLM\Software\Brimvale\Picture200x150Select"

Function CopyCount()
    Dim f, n
    n = 0
    For Each f In gFso.GetFolder(folder).Files
        If UCase(Left(f.Name, 2)) = "FV" Then n = n + 1
    Next
    CopyCount = n
End Function

' Width and height from a GIF's screen descriptor, read through EncodeFile's hexadecimal text.
Function GifSize(path)
    Dim h
    h = o.EncodeFile(path)
    GifSize = CLng("&H" & Mid(h, 15, 2) & Mid(h, 13, 2)) & "x" & CLng("&H" & Mid(h, 19, 2) & Mid(h, 17, 2))
End Function

' Starts the driver for the next dialog, without waiting: it waits for the dialog itself. (The
' results show what it did; this Wine's script host gives no exit code of a started program.)
Sub StartDriver(actions)
    sh.Run """" & driver & """ 640 480 " & actions, 0, False
End Sub

' First use of the size: nothing remembered (this script host's RegDelete leaves values behind).
Dim edge
For Each edge In Array("Left", "Top", "Right", "Bottom")
    sh.Run "reg delete HKLM\Software\Brimvale /v Picture200x150Select" & edge & " /f", 0, True
Next

file = folder & "trel_select_script.gif"
gFso.CopyFile gDataDir & "\pictures\photo_640x480.gif", file, True
copies = CopyCount()

StartDriver "drag:100,75,300,200 key:right shot:selectpart_script.bmp ok"
r = o.SelectPicturePart(0, file, True, 200, 150)
Check r <> "" And r <> file, "a working copy is returned: " & r
Check UCase(Left(gFso.GetFileName(r), 2)) = "FV", "the copy's name begins with FV"
CheckEqual GifSize(r), "200x150", "the copy holds the part at the target size"
CheckEqual GifSize(file), "640x480", "the caller's file is unchanged"
CheckEqual sh.RegRead(keyPath & "Left"), 201, "remembered left: dragged by 200, one step right"
CheckEqual sh.RegRead(keyPath & "Top"), 125, "remembered top"
CheckEqual sh.RegRead(keyPath & "Right"), 401, "remembered right"
CheckEqual sh.RegRead(keyPath & "Bottom"), 275, "remembered bottom"
CheckEqual CopyCount(), copies + 1, "one copy made"
If gFso.FileExists(r) Then gFso.DeleteFile r

copies = CopyCount()
StartDriver "drag:250,150,50,50 cancel"
r = o.SelectPicturePart(0, file, True, 200, 150)
CheckEqual r, "", "Cancel gives an empty result"
CheckEqual CopyCount(), copies, "Cancel leaves no copy"
CheckEqual sh.RegRead(keyPath & "Left"), 201, "Cancel keeps the remembered selection"

CheckEqual o.SelectPicturePart(0, ""), "", "an empty name gives an empty result at once"
gFso.DeleteFile file
Finish
