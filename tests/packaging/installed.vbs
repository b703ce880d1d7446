' The installed component as a 64-bit script host finds it: both ProgIDs, a method called, and a
' failure logged beside the installed DLL (so the installed one is the DLL that ran).
Dim o1, o2, path, f, logPath
Set o1 = WScript.CreateObject("TrelClientHelper.ClientHelper")
Set o2 = WScript.CreateObject("TrelClientHelper.ClientHelper.1")
CheckEqual TypeName(o1), "IClientHelper", "created by the version-independent ProgID"
CheckEqual TypeName(o2), "IClientHelper", "created by the versioned ProgID"

path = gFso.GetSpecialFolder(2) & "\trel_installed.bin"
Set f = gFso.CreateTextFile(path, True, False)
f.Write Chr(0) & Chr(&HAB) & Chr(&H10)
f.Close
CheckEqual o1.EncodeFile(path), "00AB10", "EncodeFile through the installed component"
gFso.DeleteFile path

logPath = gFso.GetParentFolderName(gDllPath) & "\trel_log.txt"
On Error Resume Next
o2.ResizePicture gFso.GetSpecialFolder(2) & "\trel_installed_missing.jpg", 64, 48
CheckEqual Hex(Err.Number), "80004005", "a picture that cannot be loaded fails the call"
CheckEqual Err.Source, "TrelClientHelper.ClientHelper.1", "the failing call names the component as its source"
Err.Clear
On Error GoTo 0
Check gFso.FileExists(logPath), "the failure is logged beside the installed DLL"
Set o1 = Nothing
Set o2 = Nothing
Finish
