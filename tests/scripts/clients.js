// A JScript automation client: the classes by ProgID, their properties and methods by name, over the
// test modules in the folder given as first argument.
// cscript exits 0 on a script error, so the last line "ALL-OK" is what says the run got through.
// First thing: tell wine-run.sh that the script started (see its --started-marker).
(function () {
    var marker = new ActiveXObject("WScript.Shell").ExpandEnvironmentStrings("%CV_STARTED_MARKER%");
    if (marker.charAt(0) != "%") new ActiveXObject("Scripting.FileSystemObject").CreateTextFile(marker, true).Close();
})();
function check(condition, what) {
    if (!condition) WScript.Echo("FAIL: " + what);
}
function hex(number) {
    return "0x" + (number >>> 0).toString(16);
}

var manager = new ActiveXObject("CvMMUpdater.MMCatalogManager.1");
var catalog = manager.GetCatalog(1);
var pro = manager.GetCatalog(9);
check(typeof catalog == "object" && typeof pro == "object", "GetCatalog(1) and GetCatalog(9) give catalogs");
catalog.SetAutoRefresh(false);
check(catalog.Refresh() == 0, "Refresh answers 0");
check(pro.Reserved1(1, 2) == 0 && pro.Reserved2(5) == 0, "reserved methods answer 0");

var folder = WScript.Arguments(0);
var suffix = ".0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9";
check(typeof new ActiveXObject("CvMMUpdater.MergeModule2.1") == "object", "MergeModule2 by versioned ProgID");
var module = new ActiveXObject("CvMMUpdater.MergeModule2");
try {
    module.ModuleId;
    check(false, "ModuleId before Open gives an error");
} catch (e) {
    check(e.description == "No merge module has been opened.", "before Open: " + hex(e.number) + " " + e.description);
}

module.Open(folder + "\\full.msm");
check(module.EntryKey == "FullModule" + suffix + ":1033", "EntryKey");
check(module.Language === 1033 && module.HasSourceLocation === false, "Language, HasSourceLocation");
var files = module.Files;
var keys = [];
for (var e = new Enumerator(files); !e.atEnd(); e.moveNext()) keys.push(e.item().FileKey);
check(keys.length == 6 && keys[0] == "alpha.txt" + suffix, "Enumerator walks the files in key order: " + keys);
check(files(1).FileKey == keys[0] && files("6").FileKey == keys[5], "files(1), files(\"6\")");
try {
    files(7);
    check(false, "files(7) gives an error");
} catch (e) {
    check(hex(e.number) == "0x80070057", "files(7): E_INVALIDARG, got " + hex(e.number));
}
check(module.Dependencies(1).Language === 1031, "dependency language is a number");
check(module.Exclusions(1).Language === "1033", "exclusion language is text");
check(module.IsPresent === true && module.ResolvedPath === "", "availability without a gallery file");

module.Open(folder + "\\signature-only.msm");
check(module.Files.Count == 0 && files.Count == 6, "second Open replaces the lists, not what was handed out");
WScript.Echo("ALL-OK");
