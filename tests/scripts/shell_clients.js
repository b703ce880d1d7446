// A JScript client of every method: failures arrive as thrown errors whose number is the HRESULT
// (signed) and whose description is the component's text; each failing call leaves one log entry.
var kNotImpl = -2147467263;                 // E_NOTIMPL
var kTypeMismatch = [-2147352571,           // DISP_E_TYPEMISMATCH
                     -2146828275];          // JScript's own "type mismatch"
var kArgCount = [-2147352562,               // DISP_E_BADPARAMCOUNT
                 -2147352561];              // DISP_E_PARAMNOTOPTIONAL
var kOverflow = [-2147352566];              // DISP_E_OVERFLOW
var kCrLf = "\r\n";
var logPath = gFso.GetParentFolderName(gDllPath) + "\\trel_log.txt";
var stamp = /^(\d\d)\.(\d\d)\.(\d{4}) (\d{1,2}):(\d\d):(\d\d)\t/;

// Runs f; returns {ok, value} or {ok: false, error}.
function attempt(f) {
    try { return { ok: true, value: f() }; }
    catch (e) { return { ok: false, error: e }; }
}
function shown(text) { return String(text).split(kCrLf).join(" | "); }
function describe(r) {
    return r.ok ? "success [" + r.value + "]" : hex32(r.error.number) + " [" + shown(r.error.description) + "]";
}
function isOneOf(n, list) {
    for (var i = 0; i < list.length; i++) if (list[i] === n) return true;
    return false;
}

function logText() {
    if (!gFso.FileExists(logPath)) return "";
    var f = gFso.OpenTextFile(logPath, 1, false, 0);
    var text = f.AtEndOfStream ? "" : f.ReadAll();
    f.Close();
    return text;
}
// Entries are the lines that start with a time stamp; an entry's text may hold line breaks.
function logEntries() {
    var lines = logText().split(kCrLf), starts = [], pos = 0;
    for (var i = 0; i < lines.length; i++) {
        if (stamp.test(lines[i])) starts.push(pos);
        pos += lines[i].length + 2;
    }
    return { count: starts.length, last: starts.length ? logText().substr(starts[starts.length - 1]) : "" };
}
function two(n) { return (n < 10 ? "0" : "") + n; }
function dayText(d) { return two(d.getDate()) + "." + two(d.getMonth() + 1) + "." + d.getFullYear(); }

function checkLogEntry(entry, description, what) {
    var m = stamp.exec(entry);
    if (!m) {
        check(false, what + ": entry starts with a dd.mm.yyyy h:mm:ss stamp and a tab: [" + shown(entry.substr(0, 40)) + "]");
        return;
    }
    var now = new Date();
    var date = m[1] + "." + m[2] + "." + m[3];
    // a call made just before midnight is stamped with the day before
    check(date === dayText(now) || date === dayText(new Date(now.getTime() - 120000)),
          what + ": stamp date " + date + " is today's, day first (" + dayText(now) + ")");
    var secs = (m[4] * 3600 + m[5] * 60 + m[6] * 1) - (now.getHours() * 3600 + now.getMinutes() * 60 + now.getSeconds());
    check(Math.abs(secs) <= 120 || Math.abs(secs) >= 86400 - 120, what + ": stamp time is the local time now");
    check(entry.substr(m[0].length, description.length) === description,
          what + ": the entry holds the description the script saw: [" + shown(entry.substr(0, 160)) + "]");
    checkEqual(entry.substr(entry.length - 2), kCrLf, what + ": the entry ends with CR LF");
}

// ---- both ProgIDs give working objects ----
var a = new ActiveXObject("TrelClientHelper.ClientHelper");
var b = new ActiveXObject("TrelClientHelper.ClientHelper.1");
var r = attempt(function () { return a.SelectPicturePart(0, ""); });
check(r.ok && r.value === "", "object by the version-independent ProgID answers a call: " + describe(r));
r = attempt(function () { return b.SelectPicturePart(0, ""); });
check(r.ok && r.value === "", "object by the versioned ProgID answers a call: " + describe(r));
a = null;
CollectGarbage();
r = attempt(function () { return b.ReleasePicture(640, 80); });
check(!r.ok && hex32(r.error.number) === hex32(-2147467259) && String(r.error.description).indexOf("CClientHelper::ReleasePicture()") === 0,
      "the other object still works after one is released (no camera here): " + describe(r));

var o = new ActiveXObject("TrelClientHelper.ClientHelper");
// Scanning without a window: no session can open the manager; nothing scanned, no error.
r = attempt(function () { return o.ScanPicture(0, false); });
check(r.ok && r.value === "", "ScanPicture(0, false) returns an empty path: " + describe(r));
r = attempt(function () { return o.SelectScanSource(0); });
check(r.ok && r.value === false, "SelectScanSource(0) returns false: " + describe(r));
o.DestroyScanWindow();

// ---- built methods failing on what is not there (a port, a program): their own errors ----
var failing = [
    ["ReadKey(port)", "CClientHelper::ReadKey()", "CCOMFile::Open CreateFile()", function () { return o.ReadKey("COM98"); }],
    ["ReadHodTest(port)", "CClientHelper::ReadKey()", "CCOMFile::Open CreateFile()",
        function () { return o.ReadHodTest("COM98"); }],
    ["OpenPictureWith", "CClientHelper::OpenPictureWith()", "Z:\\NO\\SUCH\\EDITOR.EXE",
        function () { return o.OpenPictureWith(0, "photo.jpg", "Z:\\no\\such\\editor.exe"); }],
    ["PrintPicture", "CClientHelper::PrintPicture()", "MSPAINT.EXE", function () { return o.PrintPicture(0, "photo.jpg"); }],
    // There is no camera library here.
    ["ReleasePicture", "CClientHelper::ReleasePicture()", "Не удалось сфотографировать",
        function () { return o.ReleasePicture(640, 80); }],
    ["ReleasePicture2", "CClientHelper::ReleasePicture()", "Не удалось сфотографировать",
        function () { return o.ReleasePicture2(640, 80, 1); }],
    ["SelectPicturePart", "CClientHelper::SelectPicturePart()", "CImageViewer::SetFileName()",
        function () { return o.SelectPicturePart(0, "photo.jpg"); }]
];
for (var i = 0; i < failing.length; i++) {
    var name = failing[i][0], context = failing[i][1], before = logEntries().count;
    r = attempt(failing[i][3]);
    if (r.ok) { check(false, name + ": throws, got " + describe(r)); continue; }
    check(r.error.number < 0 && hex32(r.error.number) !== hex32(kNotImpl), name + ": a failure of its own: " + describe(r));
    var desc = String(r.error.description);
    checkEqual(desc.substr(0, context.length + 2), context + kCrLf, name + ": description starts with the context and CR LF");
    check(desc.indexOf(failing[i][2]) >= 0, name + ": the description names " + failing[i][2] + ": [" + shown(desc) + "]");
    var entries = logEntries();
    // The port object also logs its missing FTDI chip-ID library (an entry of its own) on this machine.
    check(entries.count >= before + 1, name + ": the failing call is logged");
    checkLogEntry(entries.last, desc, name);
}

// ---- empty file names and the scanner session: success, nothing logged ----
var succeeding = [
    ["SelectPicturePart(0, '')", function () { return o.SelectPicturePart(0, ""); }],
    ["SelectPicturePart with all arguments", function () { return o.SelectPicturePart(0, "", true, 320, 240); }],
    ["ResizePicture('')", function () { return o.ResizePicture("", 640, 480); }],
    ["OpenPictureWith(0, '', '')", function () { return o.OpenPictureWith(0, "", ""); }],
    ["OpenPictureWith(0, '', 'PHOTOED', true)", function () { return o.OpenPictureWith(0, "", "PHOTOED", true); }]
];
for (i = 0; i < succeeding.length; i++) {
    var before2 = logEntries().count;
    r = attempt(succeeding[i][1]);
    check(r.ok && r.value === "", succeeding[i][0] + ": succeeds with an empty string: " + describe(r));
    checkEqual(logEntries().count, before2, succeeding[i][0] + ": nothing logged");
}
r = attempt(function () { return o.DestroyScanWindow(); });
check(r.ok && r.value === undefined, "DestroyScanWindow succeeds and returns nothing: " + describe(r));

// ---- arguments the automation layer refuses: no description from the component, nothing logged ----
var refused = [
    ["a non-numeric string for a long", kTypeMismatch, function () { return o.ReleasePicture("abc", 80); }],
    ["a non-numeric string for the 2nd long", kTypeMismatch, function () { return o.ResizePicture("photo.jpg", 640, "x"); }],
    ["a number outside the long range", kOverflow, function () { return o.GetPictureFromCam(3000000000); }],
    ["null for a string", kTypeMismatch, function () { return o.EncodeFile(null); }],
    ["a string for a Boolean", kTypeMismatch, function () { return o.ScanPicture(0, "yes"); }],
    ["a string for the progress object", kTypeMismatch, function () { return o.ReadKey("COM3", "ui"); }],
    ["null for the progress object", kTypeMismatch, function () { return o.ReadKey("COM3", null, 0); }],
    ["ReleasePicture with one argument", kArgCount, function () { return o.ReleasePicture(640); }],
    ["EncodeFile without arguments", kArgCount, function () { return o.EncodeFile(); }],
    ["OpenPictureWith without the program name", kArgCount, function () { return o.OpenPictureWith(0, "photo.jpg"); }],
    ["SelectPicturePart with the window only", kArgCount, function () { return o.SelectPicturePart(0); }],
    ["ReleasePicture2 with four arguments", kArgCount, function () { return o.ReleasePicture2(640, 80, 1, 0); }]
];
for (i = 0; i < refused.length; i++) {
    var before3 = logEntries().count;
    r = attempt(refused[i][2]);
    check(!r.ok && isOneOf(r.error.number, refused[i][1]), refused[i][0] + ": refused, got " + describe(r));
    check(r.ok || String(r.error.description).indexOf("CClientHelper::") < 0,
          refused[i][0] + ": refused before the component");
    checkEqual(logEntries().count, before3, refused[i][0] + ": nothing logged");
}
finish();
