// Run against an installed package: the four classes by ProgID, a catalog over the modules of the
// configured search path, one module opened. Problems are "FAIL:" lines; the last line is ALL-OK.
//   cscript installed.js <module file>
var marker = new ActiveXObject("WScript.Shell").ExpandEnvironmentStrings("%CV_STARTED_MARKER%");
if (marker.charAt(0) != "%") new ActiveXObject("Scripting.FileSystemObject").CreateTextFile(marker, true).Close();
var failed = false;
function check(ok, what) {
    if (!ok) {
        WScript.Echo("FAIL: " + what);
        failed = true;
    }
}
var names = ["MMCatalog", "MMCatalogPro", "MergeModule2", "MMCatalogManager"];
for (var i = 0; i < names.length; ++i) {
    try {
        check(typeof new ActiveXObject("CvMMUpdater." + names[i]) == "object", names[i]);
    } catch (e) {
        check(false, "CvMMUpdater." + names[i] + ": " + e.description);
    }
}
try {
    var modules = new ActiveXObject("CvMMUpdater.MMCatalogManager").GetCatalog(1).GetModules();
    check(modules.Count > 0, "the catalog lists no modules");
    for (var e = new Enumerator(modules); !e.atEnd(); e.moveNext()) WScript.Echo(e.item().EntryKey);
    var module = new ActiveXObject("CvMMUpdater.MergeModule2");
    module.Open(WScript.Arguments(0));
    check(module.ModuleId.length > 0, "the opened module has no ModuleId");
    WScript.Echo("opened " + module.ModuleId);
} catch (e) {
    check(false, e.description);
}
if (!failed) WScript.Echo("ALL-OK");
