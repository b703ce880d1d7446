// Shared by every JScript test (the runner puts it in front of the script).
// Arguments: 0 = result file, 1 = tests\data folder, 2 = the DLL under test.
var gFso = new ActiveXObject("Scripting.FileSystemObject");
var gOut = gFso.CreateTextFile(WScript.Arguments(0), true, false);
var gDataDir = WScript.Arguments(1);
var gDllPath = WScript.Arguments(2);

function report(text) { gOut.WriteLine(text); }
function check(cond, what) { report((cond ? "ok   " : "FAIL ") + what); }
function checkEqual(actual, expected, what) {
    if (actual === expected) report("ok   " + what);
    else report("FAIL " + what + ": got [" + actual + "], expected [" + expected + "]");
}
function hex32(n) { return (n < 0 ? n + 0x100000000 : n).toString(16).toUpperCase(); }
function finish() { report("DONE"); gOut.Close(); }
