' SelectScanSource, ScanPicture and DestroyScanWindow from VBScript, over the system's TWAIN
' manager and the stand-in source; the host program (scan_host) lends its window and works the
' dialogs: chooses "Trel Test Scanner 2", presses "Scan", then Cancel in the selection dialog.
Dim helper, hWnd, path, selected, hostFile, name

hostFile = "C:\trel-tests\scan_host.txt"
hWnd = CLng(Trim(Replace(gFso.OpenTextFile(hostFile).ReadAll, vbLf, "")))
Check hWnd <> 0, "the host's window handle"

Set helper = WScript.CreateObject("TrelClientHelper.ClientHelper")
selected = helper.SelectScanSource(hWnd)
CheckEqual selected, True, "SelectScanSource with OK"

path = helper.ScanPicture(hWnd, True)
Check gFso.FileExists(path), "ScanPicture returned a file: " & path
name = gFso.GetFileName(path)
Check Left(name, 3) = "FV_" And LCase(Right(name, 4)) = ".jpg", "named FV_<n>.jpg: " & name
CheckEqual LCase(gFso.GetParentFolderName(path) & "\"), _
           LCase(gFso.GetSpecialFolder(2).Path & "\"), "in the temporary folder"
If gFso.FileExists(path) Then gFso.DeleteFile path

selected = helper.SelectScanSource(hWnd)
CheckEqual selected, False, "SelectScanSource with Cancel"
helper.DestroyScanWindow

' No window: the session cannot open the manager, so there is nothing to scan, without an error.
path = helper.ScanPicture(0, False)
CheckEqual path, "", "ScanPicture without a window"
helper.DestroyScanWindow
Set helper = Nothing
Finish
